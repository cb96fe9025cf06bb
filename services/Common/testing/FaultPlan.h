#pragma once
// FaultPlan: counts the calls test doubles receive and makes the k-th one
// fail, by throwing InjectedFault or, where the operation reports failure
// through its result, by answering false.

#include <stdexcept>
#include <string>
#include <vector>

namespace Zorvan::testing {

class InjectedFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class FaultPlan {
public:
    enum class Kind { Throw, ReturnFalse };

    // Fail the `k`-th call from now on (0: none) in the given way.
    void failAt(int k, Kind kind = Kind::Throw) {
        m_failAt = k;
        m_kind = kind;
        calls.clear();
    }

    // Records a call of `name`. Throws when it is the failing call of a
    // throwing plan; returns true when it should answer false instead.
    bool hit(const char* name) {
        calls.emplace_back(name);
        if (static_cast<int>(calls.size()) != m_failAt) {
            return false;
        }
        if (m_kind == Kind::Throw) {
            throw InjectedFault(message(m_failAt, name));
        }
        return true;
    }

    static std::string message(int k, const std::string& name) {
        return "injected fault at call " + std::to_string(k) + " (" + name + ")";
    }

    std::vector<std::string> calls;

private:
    int m_failAt = 0;
    Kind m_kind = Kind::Throw;
};

} // namespace Zorvan::testing
