// The library's growable arrays: thin wrappers over std::vector that keep the interface the rest
// of the library is written against. An index outside the array is a programming error; every
// caller checks indexes first.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace velkin::qm {

template <class T>
class I_CLArray {
 public:
  virtual ~I_CLArray() = default;
  virtual std::size_t Count() const = 0;
  virtual T& At(std::size_t index) = 0;
  virtual void RemoveAt(std::size_t index) = 0;  // later elements move down by one
  virtual void RemoveAll() = 0;
};

// Elements by value, in one contiguous block.
template <class T>
class C_CLArray : public I_CLArray<T> {
 public:
  std::size_t Count() const override { return items_.size(); }
  T& At(std::size_t index) override { return items_[index]; }
  void RemoveAt(std::size_t index) override { items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index)); }
  void RemoveAll() override { items_.clear(); }  // the block stays allocated
  void Append(T item) { items_.push_back(std::move(item)); }

 private:
  std::vector<T> items_;
};

// Owned elements by pointer: removing an element destroys it.
template <class T>
class C_CLCustomArray : public I_CLArray<std::unique_ptr<T>> {
 public:
  std::size_t Count() const override { return items_.Count(); }
  std::unique_ptr<T>& At(std::size_t index) override { return items_.At(index); }
  void RemoveAt(std::size_t index) override { items_.RemoveAt(index); }
  void RemoveAll() override { items_.RemoveAll(); }
  T* Append(std::unique_ptr<T> item) {
    T* raw = item.get();
    items_.Append(std::move(item));
    return raw;
  }

 private:
  C_CLArray<std::unique_ptr<T>> items_;
};

}  // namespace velkin::qm
