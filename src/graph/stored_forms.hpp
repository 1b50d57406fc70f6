// The store's flat forms of types and terms. A stored arrow names its parts by
// their identifiers; a stored application names its function and argument only
// through their types, so it always shows the terms the store holds now.
//
// Both tables hold one entry per type, so a form takes one pointer in its
// slot: the name or the pair of identifiers sits in one heap block sized to
// it, shared by copies (forms are immutable).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "utils/uid.hpp"

namespace korvale {

// A name or a Pair (two identifiers), in one reference-counted block.
template <class Pair>
class PackedForm {
  static_assert(std::is_trivially_copyable_v<Pair> && alignof(Pair) <= 4);

 public:
  explicit PackedForm(std::string_view name) : block_(allocate(name.size())) {
    std::memcpy(payload(), name.data(), name.size());
  }
  explicit PackedForm(const Pair& pair) : block_(allocate(sizeof(Pair))) {
    block_->size = kPair;
    new (payload()) Pair(pair);
  }
  PackedForm(const PackedForm& other) noexcept : block_(other.block_) {
    block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  PackedForm(PackedForm&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  PackedForm& operator=(PackedForm other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~PackedForm() {
    if (block_ != nullptr && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      ::operator delete(block_);
    }
  }

  // The pair, or null for a name.
  const Pair* pair() const {
    return block_->size == kPair ? std::launder(reinterpret_cast<const Pair*>(payload())) : nullptr;
  }
  // The name; only for a form that holds one.
  std::string_view name() const { return {payload(), block_->size}; }

 private:
  struct Block {
    std::atomic<std::uint32_t> refs;
    std::uint32_t size;  // of the name, or kPair
  };
  static constexpr std::uint32_t kPair = UINT32_MAX;

  static Block* allocate(std::size_t bytes) {
    if (bytes >= kPair) throw std::bad_alloc();
    void* memory = ::operator new(sizeof(Block) + bytes);
    return new (memory) Block{{1}, static_cast<std::uint32_t>(bytes)};
  }
  char* payload() const { return reinterpret_cast<char*>(block_) + sizeof(Block); }

  Block* block_;
};

struct StoredArrow {
  Uid domain;
  Uid codomain;
};

struct StoredApplication {
  Uid function;  // the function term's type
  Uid argument;  // the argument term's type
};

class TypeRep {
 public:
  struct Variable {
    std::string_view name;
  };
  using Arrow = StoredArrow;

  TypeRep(Variable variable) : form_(variable.name) {}
  TypeRep(const Arrow& arrow) : form_(arrow) {}

  // The arrow's parts, or null for a variable.
  const Arrow* as_arrow() const { return form_.pair(); }
  // The variable's name; only for a variable.
  std::string_view name() const { return form_.name(); }

  // SHA-256 of "var:" + name, or of "arr:" + domain + ":" + codomain (69 bytes).
  Uid uid() const;

 private:
  PackedForm<Arrow> form_;
};

class TermRep {
 public:
  struct Basic {
    std::string_view name;
  };
  using Application = StoredApplication;

  TermRep(Basic basic) : form_(basic.name) {}
  TermRep(const Application& application) : form_(application) {}

  // The application's parts, or null for a basic term.
  const Application* as_application() const { return form_.pair(); }
  // The basic term's name; only for a basic term.
  std::string_view name() const { return form_.name(); }

 private:
  PackedForm<Application> form_;
};

}  // namespace korvale
