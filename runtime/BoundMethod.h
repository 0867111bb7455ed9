// A routine bound to an object: a handler kept as a plain code pointer and the object it runs on,
// cheap to copy and to compare, so that a handler can be registered and later found again.
#pragma once

/// A routine bound to an object. Two bound methods count as the same routine when their code is
/// the same, whatever object they are bound to: Of<&T::M> makes one trampoline per member
/// function, so its address names the member function.
///   using TCountMethod = TBoundMethod<int>;
///   TCountMethod method = TCountMethod::Of<&TCounter::Add>(&counter);
template <class... TArgs> struct TBoundMethod {
    using TCode = void (*)(void* object, TArgs... args);
    TCode Code = nullptr;
    void* Object = nullptr;

    void operator()(TArgs... args) const { Code(Object, args...); }
    explicit operator bool() const { return Code != nullptr; }
    bool SameRoutine(const TBoundMethod& other) const { return Code == other.Code; }

    template <auto Method, class T> static TBoundMethod Of(T* object)
    {
        return {[](void* self, TArgs... args) { (static_cast<T*>(self)->*Method)(args...); }, object};
    }
};
