// Intrusive reference counting: RefBase holds the count, sp<T> holds a
// strong reference and releases it when it goes out of scope.
//
// The count is atomic: references to one object may be taken and released
// on several threads. An object made for sp (make<T>(...), or new handed
// straight to an sp) is deleted by the release of its last reference, and
// never by anyone else.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

class RefBase {
public:
    void incStrong() const { count_.fetch_add(1, std::memory_order_relaxed); }
    // Deletes the object when the last strong reference goes.
    void decStrong() const
    {
        if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

protected:
    RefBase() = default;
    virtual ~RefBase() = default;
    RefBase(const RefBase&) = delete;
    RefBase& operator=(const RefBase&) = delete;

private:
    mutable std::atomic<int32_t> count_{0};
};

// A strong reference; may be null. Copying takes a count, destruction or
// reassignment releases one.
template <typename T>
class sp {
public:
    sp() = default;
    sp(std::nullptr_t) {}
    sp(T* object) : object_(object) { acquire(); }
    sp(const sp& other) : object_(other.object_) { acquire(); }
    sp(sp&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <typename U>
    sp(const sp<U>& other) : object_(other.get()) { acquire(); }
    ~sp() { release(); }

    sp& operator=(sp other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    bool operator==(std::nullptr_t) const { return object_ == nullptr; }
    bool operator!=(std::nullptr_t) const { return object_ != nullptr; }

    // Releases the reference now; the sp is null afterwards.
    void clear()
    {
        release();
        object_ = nullptr;
    }

private:
    void acquire() const
    {
        if (object_)
            object_->incStrong();
    }
    void release() const
    {
        if (object_)
            object_->decStrong();
    }

    T* object_ = nullptr;
};

template <typename T, typename... Args>
sp<T> make(Args&&... args)
{
    return sp<T>(new T(std::forward<Args>(args)...));
}
