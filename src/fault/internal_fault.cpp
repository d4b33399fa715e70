#include "fault/internal_fault.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace velorin {

void internal_fault(std::string_view message, std::source_location where) {
  std::fprintf(stderr, "velorin_core: internal fault: %.*s\n  at %s:%u (%s)\n",
               static_cast<int>(message.size()), message.data(), where.file_name(),
               static_cast<unsigned>(where.line()), where.function_name());
  std::fflush(stderr);
  std::abort();
}

}  // namespace velorin

// The module is built without C++ exceptions, so a refused allocation cannot be
// thrown: it ends the process with the size that was asked for. These
// replacements have hidden visibility, so they serve this module only and never
// the interpreter or other extensions loaded beside it.
namespace {

// The report's text is kept word for word: crash reports are searched for it.
[[noreturn]] void allocation_failed(std::size_t size) {
  std::fprintf(stderr, "memory allocation of %zu bytes failed\n", size);
  std::fflush(stderr);
  std::abort();
}

void* allocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) [[unlikely]]
    allocation_failed(size);
  return p;
}

void* allocate_aligned(std::size_t size, std::align_val_t align) {
  auto alignment = static_cast<std::size_t>(align);
  std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  void* p = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
  if (p == nullptr) [[unlikely]]
    allocation_failed(size);
  return p;
}

}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  return allocate_aligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return allocate_aligned(size, align);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
