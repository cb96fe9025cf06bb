#pragma once
// FailAt: the calls test doubles receive, in order; the k-th (from 1; 0:
// none) throws InjectedFault instead of being made.

#include <stdexcept>
#include <string>
#include <vector>

namespace Zorvan::testing {

struct InjectedFault : std::runtime_error { using std::runtime_error::runtime_error; };

struct FailAt {
    int k = 0;
    std::vector<std::string> calls;

    void hit(const std::string& name) {
        calls.push_back(name);
        if (static_cast<int>(calls.size()) == k) {
            throw InjectedFault("injected fault at call " + std::to_string(k) + " (" + name + ")");
        }
    }
};

} // namespace Zorvan::testing
