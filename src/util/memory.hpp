// src/util/memory.hpp: refusing results that the machine's memory could never hold
#pragma once

#include <cstddef>

namespace korvane {

/// The machine's physical memory in bytes, or 0 when the system does not say.
std::size_t physical_memory_bytes() noexcept;

/// Throws std::bad_alloc when `count` items of `bytes_each` bytes exceed the physical memory.
/// The system grants such allocations lazily and ends the process once they are written, so
/// an operation that knows its result size asks here first and fails as an ordinary MemoryError.
void require_memory(std::size_t count, std::size_t bytes_each);

}  // namespace korvane
