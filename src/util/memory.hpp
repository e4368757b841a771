// src/util/memory.hpp: refusing results that the machine's memory could never hold
#pragma once

#include <cstddef>
#include <new>
#include <string>

namespace korvane {

/// An allocation refused because it could never be held, with a message saying how much was
/// asked for; an ordinary std::bad_alloc to every handler that does not look closer.
class MemoryLimitExceeded : public std::bad_alloc {
public:
    explicit MemoryLimitExceeded(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

/// The machine's physical memory in bytes, or 0 when the system does not say.
std::size_t physical_memory_bytes() noexcept;

/// Throws MemoryLimitExceeded when `count` items of `bytes_each` bytes exceed the physical
/// memory. The system grants such allocations lazily and ends the process once they are
/// written, so an operation that knows its result size asks here first and fails as an
/// ordinary MemoryError.
void require_memory(std::size_t count, std::size_t bytes_each);

}  // namespace korvane
