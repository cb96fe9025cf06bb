#pragma once
// ServiceSlot<T>: the replaceable backend behind a static service facade
// (the log sink, the translation catalogue, the file system). Readers get a
// shared_ptr copy, so a backend stays alive for the length of a call even
// when another thread replaces it meanwhile.
//
// Thread-safety: get() and exchange() may be called concurrently.

#include <memory>
#include <mutex>
#include <utility>

namespace Zorvan::internal {

template <class T>
class ServiceSlot {
public:
    explicit ServiceSlot(std::shared_ptr<T> initial = nullptr) : m_value(std::move(initial)) {}

    std::shared_ptr<T> get() const {
        const std::lock_guard lock(m_mutex);
        return m_value;
    }

    // Installs `value` and returns the one it replaces.
    std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_value, std::move(value));
    }

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<T> m_value;
};

} // namespace Zorvan::internal
