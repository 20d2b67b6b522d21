// A vector that keeps its first N elements inside the object itself.
//
// Used for token lists: most parses yield one or two tokens, and keeping
// those inline means a successful match allocates nothing for the list.
// Moving a heap-backed vector steals its buffer; moving an inline one moves
// the elements one by one.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace quernlet {

template <class T, std::size_t N>
class SmallVector {
 public:
  SmallVector() noexcept = default;

  SmallVector(const SmallVector& other) { append_copies(other); }
  SmallVector(SmallVector&& other) noexcept { steal(std::move(other)); }

  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) {
      clear();
      append_copies(other);
    }
    return *this;
  }
  SmallVector& operator=(SmallVector&& other) noexcept {
    if (this != &other) {
      release_all();
      steal(std::move(other));
    }
    return *this;
  }

  ~SmallVector() { release_all(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  bool on_heap() const noexcept { return heap_ != nullptr; }

  T* data() noexcept { return heap_ ? heap_ : inline_ptr(); }
  const T* data() const noexcept { return heap_ ? heap_ : inline_ptr(); }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& operator[](std::size_t i) noexcept { return data()[i]; }
  const T& operator[](std::size_t i) const noexcept { return data()[i]; }
  std::span<const T> span() const noexcept { return {data(), size_}; }

  void push_back(T value) {
    if (size_ == capacity()) grow(size_ == 0 ? N : size_ * 2);
    new (data() + size_) T(std::move(value));
    ++size_;
  }

  // Moves every element of `other` to the end of this one; `other` ends empty.
  void append(SmallVector&& other) {
    if (other.empty()) return;
    if (empty() && (other.on_heap() || !on_heap())) {
      *this = std::move(other);
      return;
    }
    reserve(size_ + other.size_);
    for (T& v : other) new (data() + size_++) T(std::move(v));
    other.clear();
  }

  void reserve(std::size_t wanted) {
    if (wanted > capacity()) grow(wanted < size_ * 2 ? size_ * 2 : wanted);
  }

  void clear() noexcept {
    std::destroy_n(data(), size_);
    size_ = 0;
  }

 private:
  std::size_t capacity() const noexcept { return heap_ ? heap_capacity_ : N; }
  T* inline_ptr() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_ptr() const noexcept { return std::launder(reinterpret_cast<const T*>(inline_)); }

  void grow(std::size_t new_capacity) {
    T* fresh = std::allocator<T>().allocate(new_capacity);
    std::uninitialized_move_n(data(), size_, fresh);
    std::destroy_n(data(), size_);
    if (heap_) std::allocator<T>().deallocate(heap_, heap_capacity_);
    heap_ = fresh;
    heap_capacity_ = new_capacity;
  }

  void append_copies(const SmallVector& other) {
    reserve(other.size_);
    for (const T& v : other) new (data() + size_++) T(v);
  }

  // Expects this vector empty with no buffer.
  void steal(SmallVector&& other) noexcept {
    if (other.size_ == 0 && !other.heap_) return;
    if (other.heap_) {
      heap_ = std::exchange(other.heap_, nullptr);
      heap_capacity_ = std::exchange(other.heap_capacity_, 0);
      size_ = std::exchange(other.size_, 0);
      return;
    }
    for (std::size_t i = 0; i < other.size_; ++i) new (inline_ptr() + i) T(std::move(other[i]));
    size_ = other.size_;
    other.clear();
  }

  // Most vectors are moved from or never filled (results passed up a
  // parse), so that case stays inline in the caller.
  void release_all() noexcept {
    if (size_ == 0 && !heap_) return;
    release_slow();
  }
  [[gnu::noinline]] void release_slow() noexcept {
    clear();
    if (heap_) std::allocator<T>().deallocate(heap_, heap_capacity_);
    heap_ = nullptr;
    heap_capacity_ = 0;
  }

  T* heap_ = nullptr;
  std::size_t heap_capacity_ = 0;
  std::size_t size_ = 0;
  alignas(T) unsigned char inline_[N * sizeof(T)];
};

}  // namespace quernlet
