// Callbacks: shared, immutable bindings of a free or member function with at
// most one argument fixed at binding and at most one given at the call.
//
//     CallBack task;
//     task.Bind(this, &Server::Poll);          // void Server::Poll()
//     task.CallBackV();
//
//     CallBack onRead;
//     onRead.Bind(&Handle);                    // void Handle(ReadHandle)
//     onRead.CallBackA(handle);
//
// A caller asks for the signature it expects; a body of another signature
// is a failure (false), never a wrong call.
#pragma once

#include <vor/core/export.h>

#include <vor/core/guard.h>

#include <new>
#include <type_traits>
#include <utility>

namespace Vor {
namespace Core {

// A bound function of one call signature (a free function, or a member
// function with its object), called through CallBackV, CallBackA, CallBackR
// or CallBackAR; see above.
class VOR_API CallBack {
public:
    static int const NORMAL_FUNC = 0;
    static int const CONST_MEMBER_FUNC = 1;

    // Stands in for a void argument or result in the call signature.
    struct Nothing {};

    // The counted body behind a CallBack; one class per call signature.
    class VOR_API Base : public LocalRef {
    public:
        // Identifies the call signature without a run-time type lookup.
        virtual void const* Signature() const = 0;

    protected:
        Base() = default;
        ~Base() override = default;
    };

    template <class... P>
    struct LastIsRvalueRef : std::false_type {};
    template <class P>
    struct LastIsRvalueRef<P> : std::is_rvalue_reference<P> {};
    template <class B, class P>
    struct LastIsRvalueRef<B, P> : LastIsRvalueRef<P> {};

    // One address per call signature, the same in every module of the
    // process (a template's static has one definition program-wide).
    template <class Arg, class Result>
    static void const* SignatureOf()
    {
        static char const s_Tag = 0;
        return &s_Tag;
    }

    // The call signature: the call-time argument type and the result type,
    // either of them void.
    template <class Arg, class Result>
    class Return : public Base {
    public:
        using ArgType = typename std::conditional<std::is_void<Arg>::value, Nothing, Arg>::type;
        using ResultType = typename std::conditional<std::is_void<Result>::value, Nothing, Result>::type;
        // Calls the function; returns `fallback` when the body holds none.
        virtual ResultType Call(ArgType const& arg, ResultType const& fallback) const = 0;
        // As Call, for a caller that keeps the body alive and bound as it
        // is until the call returns: a bound argument that the function
        // takes by reference to const is lent to it instead of copied.
        virtual ResultType CallHeld(ArgType const& arg, ResultType const& fallback) const = 0;
        VOR_HOT void const* Signature() const override { return SignatureOf<Arg, Result>(); }
    };

    // Whether a function pointer type takes its last parameter as an rvalue
    // reference, which only a temporary copy of the argument binds to.
    template <class Fn>
    struct TakesRvalue : std::false_type {};
    template <class R, class... P>
    struct TakesRvalue<R (*)(P...)> : LastIsRvalueRef<P...> {};
    template <class R, class C, class... P>
    struct TakesRvalue<R (C::*)(P...)> : LastIsRvalueRef<P...> {};
    template <class R, class C, class... P>
    struct TakesRvalue<R (C::*)(P...) const> : LastIsRvalueRef<P...> {};

    // Whether a function pointer type takes its first parameter, the bound
    // one where there is one, by reference to const.
    template <class P>
    struct IsConstRef
        : std::integral_constant<bool, std::is_lvalue_reference<P>::value &&
                                           std::is_const<std::remove_reference_t<P>>::value> {};
    template <class Fn>
    struct TakesFirstByConstRef : std::false_type {};
    template <class R, class B, class... P>
    struct TakesFirstByConstRef<R (*)(B, P...)> : IsConstRef<B> {};
    template <class R, class C, class B, class... P>
    struct TakesFirstByConstRef<R (C::*)(B, P...)> : IsConstRef<B> {};
    template <class R, class C, class B, class... P>
    struct TakesFirstByConstRef<R (C::*)(B, P...) const> : IsConstRef<B> {};

    // The concrete body. Bound: the type fixed at binding (void: none);
    // Class: the class of a member function (void: a free function); Kind:
    // NORMAL_FUNC or CONST_MEMBER_FUNC; Fn: the function pointer type.
    template <class Bound, class Arg, class Class, class Result, int Kind, class Fn>
    class Function final : public Return<Arg, Result> {
        using Sig = Return<Arg, Result>;
        using ArgType = typename Sig::ArgType;
        using ResultType = typename Sig::ResultType;
        using Object = typename std::conditional<Kind == CONST_MEMBER_FUNC, Class const, Class>::type;
        using ObjectPtr = typename std::conditional<std::is_void<Class>::value, Nothing, Object*>::type;
        using BoundSlot = typename std::conditional<std::is_void<Bound>::value, Nothing, Bound>::type;

    public:
        template <class... B>
        Function(ObjectPtr object, Fn function, B&&... bound)
            : m_pObject(object), m_Bound(std::forward<B>(bound)...), m_Function(function)
        {
        }

        ResultType Call(ArgType const& arg, ResultType const& fallback) const override
        {
            return Run<false>(arg, fallback);
        }

        ResultType CallHeld(ArgType const& arg, ResultType const& fallback) const override
        {
            return Run<true>(arg, fallback);
        }

    private:
        template <bool Held>
        ResultType Run(ArgType const& arg, ResultType const& fallback) const
        {
            if (m_Function == nullptr)
                return fallback;
            if constexpr (std::is_void<Result>::value) {
                Invoke<Held>(arg);
                return ResultType();
            } else {
                return Invoke<Held>(arg);
            }
        }

        // Arguments go in this order: the bound one, a copy taken for the
        // call (the body may be let go of while it runs) unless the caller
        // holds the body and the function takes a reference to const; then
        // the call-time one as the caller passed it: a function that takes
        // it by value gets its one copy, one that takes a reference to const
        // the caller's object, one that takes an rvalue reference a
        // temporary.
        template <bool Held>
        decltype(auto) Invoke(ArgType const& arg) const
        {
            if constexpr (std::is_void<Bound>::value && std::is_void<Arg>::value)
                return Target();
            else if constexpr (std::is_void<Bound>::value)
                return Target(PassArg(arg));
            else if constexpr (std::is_void<Arg>::value)
                return Target(PassBound<Held>());
            else
                return Target(PassBound<Held>(), PassArg(arg));
        }

        template <bool Held>
        decltype(auto) PassBound() const
        {
            if constexpr (Held && TakesFirstByConstRef<Fn>::value)
                return (m_Bound);
            else
                return Bound(m_Bound);
        }

        static decltype(auto) PassArg(ArgType const& arg)
        {
            if constexpr (TakesRvalue<Fn>::value)
                return Arg(arg);
            else
                return (arg);
        }

        template <class... A>
        decltype(auto) Target(A&&... args) const
        {
            if constexpr (std::is_void<Class>::value)
                return m_Function(std::forward<A>(args)...);
            else
                return (m_pObject->*m_Function)(std::forward<A>(args)...);
        }

        ObjectPtr m_pObject;
        BoundSlot m_Bound;
        Fn m_Function;
    };

    CallBack() = default;

    void Clear() { m_Body.Clear(); }
    bool IsValid() const { return m_Body.IsValid(); }
    // Same body: copies of one binding are equal, two bindings are not.
    bool operator==(CallBack const& other) const { return m_Body == other.m_Body; }
    bool operator!=(CallBack const& other) const { return m_Body != other.m_Body; }

    // Binding. Each returns false and keeps the old body when one is held.

    // R f() or R f(Arg).
    template <class R, class... P>
    bool Bind(R (*function)(P...))
    {
        static_assert(sizeof...(P) <= 1, "a callback takes at most one call-time argument");
        return !IsValid() && Install(new (std::nothrow) Function<void, Decayed<P...>, void, R, NORMAL_FUNC, R (*)(P...)>(Nothing(), function));
    }

    // R f(Bound) or R f(Bound, Arg), with the bound argument fixed now.
    template <class R, class B, class... P, class V>
    bool Bind(R (*function)(B, P...), V&& bound)
    {
        static_assert(sizeof...(P) <= 1, "a callback takes at most one call-time argument");
        return !IsValid() && Install(new (std::nothrow) Function<std::decay_t<B>, Decayed<P...>, void, R, NORMAL_FUNC, R (*)(B, P...)>(
            Nothing(), function, std::forward<V>(bound)));
    }

    // Member functions, called on `object`. The object is not owned: whoever
    // binds keeps it alive while the callback may run.
    template <class O, class C, class R, class... P>
    bool Bind(O* object, R (C::*function)(P...))
    {
        static_assert(sizeof...(P) <= 1, "a callback takes at most one call-time argument");
        return !IsValid() && Install(new (std::nothrow) Function<void, Decayed<P...>, C, R, NORMAL_FUNC, R (C::*)(P...)>(
            static_cast<C*>(object), function));
    }

    template <class O, class C, class R, class... P>
    bool Bind(O const* object, R (C::*function)(P...) const)
    {
        static_assert(sizeof...(P) <= 1, "a callback takes at most one call-time argument");
        return !IsValid() && Install(new (std::nothrow) Function<void, Decayed<P...>, C, R, CONST_MEMBER_FUNC, R (C::*)(P...) const>(
            static_cast<C const*>(object), function));
    }

    template <class O, class C, class R, class B, class... P, class V>
    bool Bind(O* object, R (C::*function)(B, P...), V&& bound)
    {
        static_assert(sizeof...(P) <= 1, "a callback takes at most one call-time argument");
        return !IsValid() && Install(new (std::nothrow) Function<std::decay_t<B>, Decayed<P...>, C, R, NORMAL_FUNC, R (C::*)(B, P...)>(
            static_cast<C*>(object), function, std::forward<V>(bound)));
    }

    template <class O, class C, class R, class B, class... P, class V>
    bool Bind(O const* object, R (C::*function)(B, P...) const, V&& bound)
    {
        static_assert(sizeof...(P) <= 1, "a callback takes at most one call-time argument");
        return !IsValid() && Install(new (std::nothrow) Function<std::decay_t<B>, Decayed<P...>, C, R, CONST_MEMBER_FUNC, R (C::*)(B, P...) const>(
            static_cast<C const*>(object), function, std::forward<V>(bound)));
    }

    // Calling. Each returns false, calling nothing, when the callback is
    // empty or its body has another signature.

    // void f().
    bool CallBackV() const
    {
        auto body = As<void, void>();
        if (body == nullptr)
            return false;
        body->Call(Nothing(), Nothing());
        return true;
    }

    // void f(Arg).
    template <class A>
    bool CallBackA(A const& arg) const
    {
        auto body = As<A, void>();
        if (body == nullptr)
            return false;
        body->Call(arg, Nothing());
        return true;
    }

    // void f(Arg), for a caller that keeps this callback as it is, and so
    // its body, until the call returns: a bound argument that the function
    // takes by reference to const is lent to it, where CallBackA copies it
    // for the call.
    template <class A>
    bool CallBackHeldA(A const& arg) const
    {
        auto body = As<A, void>();
        if (body == nullptr)
            return false;
        body->CallHeld(arg, Nothing());
        return true;
    }

    // R f(). `result` holds the default on entry (returned when the body
    // has no function) and the result afterwards.
    template <class R>
    bool CallBackR(R& result) const
    {
        auto body = As<void, R>();
        if (body == nullptr)
            return false;
        result = body->Call(Nothing(), result);
        return true;
    }

    // R f(Arg), `result` as for CallBackR.
    template <class A, class R>
    bool CallBackAR(A const& arg, R& result) const
    {
        auto body = As<A, R>();
        if (body == nullptr)
            return false;
        result = body->Call(arg, result);
        return true;
    }

    // True when the body has the call signature Return<Arg, Result>.
    template <class A, class R>
    bool Accepts() const
    {
        return As<A, R>() != nullptr;
    }

private:
    template <class... P>
    struct DecayedArg {
        using type = void;
    };
    template <class P>
    struct DecayedArg<P> {
        using type = std::decay_t<P>;
    };
    template <class... P>
    using Decayed = typename DecayedArg<P...>::type;

    bool Install(Base* body)
    {
        if (body == nullptr)
            return false;
        m_Body = body;
        body->DecRef();
        return IsValid();
    }

    template <class A, class R>
    Return<A, R> const* As() const
    {
        if (!m_Body.IsValid())
            return nullptr;
        Base const* body = m_Body.Address();
        if (body->Signature() == SignatureOf<A, R>())
            return static_cast<Return<A, R> const*>(body);
        // Checked the slow way too, in case a module kept its own copy of
        // the tag.
        return dynamic_cast<Return<A, R> const*>(body);
    }

    Guard<Base> m_Body;
};

} // namespace Core
} // namespace Vor
