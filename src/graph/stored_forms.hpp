// The store's flat forms of types and terms. A stored arrow names its parts by
// their identifiers; a stored application names its function and argument only
// through their types, so it always shows the terms the store holds now.
//
// Both tables hold one entry per type, so a form takes one pointer in its
// slot: the name or the pair of identifiers sits in one heap block sized to
// it, shared by copies (forms are immutable).
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/uid.hpp"
#include "memory/counted_ptr.hpp"

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
  // The pair, or null for a name.
  const Pair* pair() const {
    return block_->size == kPair ? std::launder(reinterpret_cast<const Pair*>(payload())) : nullptr;
  }
  // The name; only for a form that holds one.
  std::string_view name() const { return {payload(), block_->size}; }

 private:
  // The count and the size, followed by the payload in the same allocation.
  struct Block : RefCounted {
    explicit Block(std::uint32_t payload_size) : size(payload_size) {}
    // The block was allocated with its payload: release it unsized.
    static void operator delete(void* memory) { ::operator delete(memory); }
    std::uint32_t size;  // of the name, or kPair
  };
  static_assert(sizeof(Block) == 8, "the payload follows a count and a size");
  static constexpr std::uint32_t kPair = UINT32_MAX;

  static CountedPtr<Block> allocate(std::size_t bytes) {
    if (bytes >= kPair) throw std::bad_alloc();
    void* memory = ::operator new(sizeof(Block) + bytes);
    return CountedPtr<Block>::adopt(new (memory) Block(static_cast<std::uint32_t>(bytes)));
  }
  char* payload() const { return reinterpret_cast<char*>(block_.get()) + sizeof(Block); }

  CountedPtr<Block> block_;
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
