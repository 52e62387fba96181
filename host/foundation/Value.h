#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// A property-list value: what plists hold and what preference rows read and store. A default
// constructed Value is "nothing" (nil).
class Value {
  public:
    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value>;

    Value() = default;
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(std::int64_t i) : v_(i) {}
    Value(double d) : v_(d) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
    explicit operator bool() const { return !isNull(); }

    // Typed access: a pointer to the held value when it has that type, else nullptr.
    const bool* boolean() const { return std::get_if<bool>(&v_); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&v_); }
    const double* real() const { return std::get_if<double>(&v_); }
    const std::string* string() const { return std::get_if<std::string>(&v_); }
    const Array* array() const { return std::get_if<Array>(&v_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&v_); }

    // The string held, or nothing for any other type.
    std::optional<std::string> stringValue() const {
        if (auto s = string()) return *s;
        return std::nullopt;
    }

    // A dictionary member, or nothing when this is no dictionary or lacks the key.
    const Value* find(const std::string& key) const {
        auto d = dictionary();
        if (!d) return nullptr;
        auto it = d->find(key);
        return it == d->end() ? nullptr : &it->second;
    }

    bool operator==(const Value& other) const = default;

  private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string, Array, Dictionary> v_;
};
