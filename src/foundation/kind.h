// kind_cast: a checked downcast to an exact class, for the few places that take back
// an object of their own from a base pointer (a transport its messages, the SSL layer
// its stream).
//
// It answers only for the exact class: an object of a class derived from T is not a T
// here, so a caller never mistakes someone else's subclass for its own. Needs RTTI.
//
//   if (auto* m = kind_cast<gsm_sms>(msg)) keep(*m);
#pragma once

#include <typeinfo>

namespace tolvane {

// p as its exact class T (const where p is), null when p is null or of another class.
template <class T, class B>
T* kind_cast(B* p) {
    return p != nullptr && typeid(*p) == typeid(T) ? static_cast<T*>(p) : nullptr;
}

}  // namespace tolvane
