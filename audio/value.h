#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace pt {

// A property-list value (text, boolean, list, dictionary) built by portable code and converted
// by an adapter into the platform's own form, e.g. a CFDictionary for an aggregate device.
class Value {
 public:
  using List = std::vector<Value>;
  // Entries keep the order they were added in; keys are unique.
  using Dictionary = std::vector<std::pair<std::string, Value>>;

  Value(std::string text) : data_(std::move(text)) {}             // NOLINT
  Value(const char* text) : data_(std::string(text)) {}           // NOLINT
  Value(bool flag) : data_(flag) {}                               // NOLINT
  Value(List list) : data_(std::move(list)) {}                    // NOLINT
  Value(Dictionary dictionary) : data_(std::move(dictionary)) {}  // NOLINT

  bool isText() const { return std::holds_alternative<std::string>(data_); }
  bool isBool() const { return std::holds_alternative<bool>(data_); }
  bool isList() const { return std::holds_alternative<List>(data_); }
  bool isDictionary() const { return std::holds_alternative<Dictionary>(data_); }

  // Accessors throw std::bad_variant_access on a value of another kind.
  const std::string& text() const { return std::get<std::string>(data_); }
  bool boolean() const { return std::get<bool>(data_); }
  const List& list() const { return std::get<List>(data_); }
  const Dictionary& dictionary() const { return std::get<Dictionary>(data_); }

  // The entry for `key` of a dictionary, or null.
  const Value* find(const std::string& key) const {
    if (!isDictionary()) return nullptr;
    for (const auto& [k, v] : dictionary())
      if (k == key) return &v;
    return nullptr;
  }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  std::variant<std::string, bool, List, Dictionary> data_;
};

}  // namespace pt
