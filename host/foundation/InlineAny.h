#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <typeinfo>
#include <utility>

// A copyable value of any type, like std::any, but one that keeps values of up to 32 bytes in
// place: a std::string or a std::shared_ptr costs no allocation of its own. A page builds its rows
// anew on every reload, thousands at a time, and each row holds a few such properties; with
// std::any every one of them was a separate heap block to allocate, read and free.
class InlineAny {
  public:
    InlineAny() = default;

    template <class T, class D = std::decay_t<T>,
              std::enable_if_t<!std::is_same_v<D, InlineAny>, int> = 0>
    InlineAny(T&& value) : ops_(&opsFor<D>) {  // NOLINT: implicit, as std::any's
        if constexpr (fitsInPlace<D>())
            ::new (static_cast<void*>(storage_)) D(std::forward<T>(value));
        else
            ::new (static_cast<void*>(storage_)) D*(new D(std::forward<T>(value)));
    }

    InlineAny(const InlineAny& other) : ops_(other.ops_) {
        if (ops_) ops_->copy(storage_, other.storage_);
    }
    InlineAny(InlineAny&& other) noexcept : ops_(other.ops_) {
        if (ops_) ops_->move(storage_, other.storage_);
        other.reset();
    }
    InlineAny& operator=(const InlineAny& other) {
        if (this != &other) *this = InlineAny(other);
        return *this;
    }
    InlineAny& operator=(InlineAny&& other) noexcept {
        if (this != &other) {
            reset();
            ops_ = other.ops_;
            if (ops_) ops_->move(storage_, other.storage_);
            other.reset();
        }
        return *this;
    }
    ~InlineAny() { reset(); }

    bool has_value() const { return ops_ != nullptr; }
    const std::type_info& type() const { return ops_ ? ops_->type() : typeid(void); }

    // The value if it is a T, else nullptr.
    template <class T>
    const T* get() const {
        if (!ops_ || (ops_ != &opsFor<T> && ops_->type() != typeid(T))) return nullptr;
        if constexpr (fitsInPlace<T>())
            return at<T>(storage_);
        else
            return *at<T*>(storage_);
    }

    void reset() {
        if (ops_) ops_->destroy(storage_);
        ops_ = nullptr;
    }

  private:
    static constexpr std::size_t kCapacity = 32;

    template <class T>
    static constexpr bool fitsInPlace() {
        return sizeof(T) <= kCapacity && alignof(T) <= alignof(std::max_align_t) &&
               std::is_nothrow_move_constructible_v<T>;
    }

    // What the holder needs of a type, one table per type. Moving a value kept on the heap moves
    // only the pointer, so moves never allocate.
    struct Ops {
        const std::type_info& (*type)();
        void (*destroy)(unsigned char* storage);
        void (*copy)(unsigned char* to, const unsigned char* from);
        void (*move)(unsigned char* to, unsigned char* from);
    };

    template <class T>
    static const T* at(const unsigned char* storage) {
        return std::launder(reinterpret_cast<const T*>(storage));
    }
    template <class T>
    static T* at(unsigned char* storage) {
        return std::launder(reinterpret_cast<T*>(storage));
    }

    template <class T>
    static constexpr Ops makeOps() {
        if constexpr (fitsInPlace<T>()) {
            return {[]() -> const std::type_info& { return typeid(T); },
                    [](unsigned char* s) { at<T>(s)->~T(); },
                    [](unsigned char* to, const unsigned char* from) {
                        ::new (static_cast<void*>(to)) T(*at<T>(from));
                    },
                    [](unsigned char* to, unsigned char* from) {
                        ::new (static_cast<void*>(to)) T(std::move(*at<T>(from)));
                    }};
        } else {
            return {[]() -> const std::type_info& { return typeid(T); },
                    [](unsigned char* s) { delete *at<T*>(s); },
                    [](unsigned char* to, const unsigned char* from) {
                        ::new (static_cast<void*>(to)) T*(new T(**at<T*>(from)));
                    },
                    [](unsigned char* to, unsigned char* from) {
                        ::new (static_cast<void*>(to)) T*(*at<T*>(from));
                        *at<T*>(from) = nullptr;
                    }};
        }
    }
    // Across shared libraries one type may have several tables; get() falls back to comparing
    // the type itself.
    template <class T>
    static constexpr Ops opsFor = makeOps<T>();

    alignas(std::max_align_t) unsigned char storage_[kCapacity];
    const Ops* ops_ = nullptr;
};
