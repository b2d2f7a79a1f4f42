#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "com/DispatchTable.h"

namespace com {

namespace detail {

template <class>
inline constexpr bool kUnsupportedParam = false;

// Argument i of a call in the C++ form the interface declares for it.
template <class A>
A dispArg(DispCall& call, std::size_t i) {
    if constexpr (std::is_same_v<A, std::int32_t>)
        return call.lng(i);
    else if constexpr (std::is_same_v<A, std::int32_t*>)
        return &call.lng(i);
    // short and VARIANT_BOOL are the same C++ type; the table says which it is.
    else if constexpr (std::is_same_v<A, std::int16_t>)
        return call.member().params[i].type == AutoType::Short ? call.i2(i) : call.boolean(i);
    else if constexpr (std::is_same_v<A, std::int16_t*>)
        return call.member().params[i].type == AutoType::Short ? &call.i2(i) : &call.boolean(i);
    else if constexpr (std::is_same_v<A, std::uint8_t>)
        return call.ui1(i);
    else if constexpr (std::is_same_v<A, std::uint8_t*>)
        return &call.ui1(i);
    else if constexpr (std::is_same_v<A, double>)
        return call.dbl(i);
    else if constexpr (std::is_same_v<A, double*>)
        return &call.dbl(i);
    else if constexpr (std::is_same_v<A, const std::string&>)
        return call.str(i);
    else if constexpr (std::is_same_v<A, std::string*>)
        return &call.str(i);
    else if constexpr (std::is_same_v<A, const Variant&>)
        return call.var(i);
    else if constexpr (std::is_same_v<A, Variant*>)
        return call.varPtr(i);
    else if constexpr (std::is_same_v<A, const char*>)
        return call.lpstr(i);
    else if constexpr (std::is_same_v<A, IDispatch*>)
        return call.dispatch(i);
    else if constexpr (std::is_same_v<A, IDispatch**>)
        return &call.dispatch(i);
    else if constexpr (std::is_same_v<A, IUnknown*>)
        return call.unknown(i);
    else if constexpr (std::is_same_v<A, IUnknown**>)
        return &call.unknown(i);
    else
        static_assert(kUnsupportedParam<A>, "a parameter type the dispatch table cannot pass");
}

template <class Itf, class... Args, std::size_t... I>
HRESULT callMember(Itf* object, HRESULT (Itf::*member)(Args...), DispCall& call,
                   std::index_sequence<I...>) {
    return (object->*member)(dispArg<Args>(call, I)...);
}

template <class>
struct MemberOf;
template <class Itf, class... Args>
struct MemberOf<HRESULT (Itf::*)(Args...)> {
    using Interface = Itf;
    using Sequence = std::index_sequence_for<Args...>;
};

}  // namespace detail

// The DispThunk of a member of interface Itf implemented by Object: calls it through the virtual
// table, so a late-bound call is the early-bound one.
//   com::MemberDesc{1, "Add", ..., &com::memberThunk<Calc, &ICalc::Add>}
template <class Object, auto Member>
HRESULT memberThunk(void* self, DispCall& call) {
    using M = detail::MemberOf<decltype(Member)>;
    auto* object = static_cast<typename M::Interface*>(static_cast<Object*>(self));
    return detail::callMember(object, Member, call, typename M::Sequence{});
}

}  // namespace com
