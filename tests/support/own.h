// Taking over new reference-counted objects in tests.
#pragma once

#include <vor/core/guard.h>

#include <type_traits>

namespace VorTest {

// Hands a new object (count 1) to a guard, which becomes its only owner:
// `Own(new Timer)` gives a Guard<Timer>, `Own<Scheduler>(new LocalSched)` a
// Guard<Scheduler>.
template <class T = void, class U>
Vor::Core::Guard<std::conditional_t<std::is_void<T>::value, U, T>> Own(U* object)
{
    Vor::Core::Guard<std::conditional_t<std::is_void<T>::value, U, T>> guard(object);
    object->DecRef();
    return guard;
}

} // namespace VorTest
