// Argument binding and the call trampoline shared by functions, methods and
// constructors.
#pragma once

#include "bind/casters.hpp"
#include "bind/signature.hpp"

#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace bind::detail {

// What a declared callable needs at run time, filled once at registration.
struct CallSite {
  std::string display;  // "count_tokens_fast" or "Message.__new__", for messages
  std::size_t count = 0;
  std::size_t required = 0;
  const ParsedSignature* sig = nullptr;
  PyObject* names[kMaxParams] = {};     // interned parameter names
  PyObject* defaults[kMaxParams] = {};  // literal defaults; nullptr: required or "..."
};

// Interns names and builds default values. Throws PythonError.
void init_call_site(CallSite& site, const ParsedSignature& sig, std::string display);

// Places the arguments of a vectorcall into `slots` by parameter, applying
// defaults; an omitted "..." parameter gets nullptr. Raises the interpreter's
// TypeError wording and returns false on a binding failure.
bool bind_arguments(const CallSite& site, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots);

// Converts tp_new's (args, kwargs) into the vectorcall form in `storage`.
struct UnpackedCall {
  PyObject* const* args = nullptr;
  Py_ssize_t nargs = 0;
  Ref kwnames;
  std::vector<PyObject*> storage;
};
bool unpack_tuple_call(PyObject* args, PyObject* kwargs, UnpackedCall& out);

template <class Fn>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Ret = R;
  using Args = std::tuple<A...>;
  static constexpr std::size_t arity = sizeof...(A);
};
template <class R, class... A>
struct FnTraits<R (*)(A...) noexcept> : FnTraits<R (*)(A...)> {};

template <class Tuple>
struct DropFirst;
template <class First, class... Rest>
struct DropFirst<std::tuple<First, Rest...>> {
  using type = std::tuple<Rest...>;
};

template <class T>
using CasterFor = Caster<std::remove_cvref_t<T>>;

template <class Casters, std::size_t... I>
bool load_all(Casters& casters, PyObject* const* slots, const CallSite& site, std::index_sequence<I...>) {
  bool ok = true;
  // Convert in parameter order; stop at the first failure and name the parameter.
  ((ok = ok && (std::get<I>(casters).load(slots[I]) ||
                (add_param_note(site.sig->params[I]), false))),
   ...);
  return ok;
}

// Binds, converts and calls `call(converted params...)`, returning its result
// converted to Python, or nullptr with an exception set.
template <class Params, class Call>
PyObject* invoke(const CallSite& site, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 Call&& call) {
  constexpr std::size_t N = std::tuple_size_v<Params>;
  PyObject* buffer[N == 0 ? 1 : N];
  PyObject* const* slots = args;
  if (kwnames != nullptr || nargs != static_cast<Py_ssize_t>(N)) {
    if (!bind_arguments(site, args, nargs, kwnames, buffer)) return nullptr;
    slots = buffer;
  }
  try {
    return [&]<std::size_t... I>(std::index_sequence<I...> seq) -> PyObject* {
      std::tuple<CasterFor<std::tuple_element_t<I, Params>>...> casters;
      if (!load_all(casters, slots, site, seq)) return nullptr;
      using R = decltype(call(std::get<I>(casters).get()...));
      if constexpr (std::is_void_v<R>) {
        call(std::get<I>(casters).get()...);
        return Py_NewRef(Py_None);
      } else {
        return bind::cast(call(std::get<I>(casters).get()...));
      }
    }(std::make_index_sequence<N>{});
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

}  // namespace bind::detail
