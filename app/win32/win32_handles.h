#pragma once

#include <windows.h>

#include <utility>

namespace quorvel::win32 {

// Move-only owner of one handle; `Traits::release` frees it. Never throws.
template <typename Handle, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, Handle{}));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle get() const { return handle_; }
  explicit operator bool() const { return Traits::valid(handle_); }
  void reset(Handle handle = Handle{}) {
    if (Traits::valid(handle_)) Traits::release(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_{};
};

struct GdiObjectTraits {
  static bool valid(HGDIOBJ handle) { return handle != nullptr; }
  static void release(HGDIOBJ handle) { DeleteObject(handle); }
};
struct KernelHandleTraits {
  static bool valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void release(HANDLE handle) { CloseHandle(handle); }
};

// Brushes and bitmaps we create; icons from LoadIconA are shared and need no owner.
using OwnedBrush = UniqueHandle<HBRUSH, GdiObjectTraits>;
using OwnedBitmap = UniqueHandle<HBITMAP, GdiObjectTraits>;
using OwnedThread = UniqueHandle<HANDLE, KernelHandleTraits>;

}  // namespace quorvel::win32
