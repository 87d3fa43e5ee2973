// Our binding layer over the CPython C API.
//
// A family file declares its callables by their exact text signatures and
// plain C++ functions; the layer binds positional and keyword arguments
// (METH_FASTCALL | METH_KEYWORDS, no tuple or dict on the fast path), converts
// each parameter by its C++ type (casters.hpp), converts the result back and
// builds the docstring ("<signature>\n--\n\n<description>"):
//
//   const bind::Family& tokenizer_family() {
//     static const bind::Family family{
//         bind::def<"count_tokens_fast(text)", &count_tokens_fast>("Fast approximate ..."),
//         bind::Class<PyUsage>("Usage", "Token usage ...").init<...>().property<...>(),
//     };
//     return family;
//   }
//
// Binding errors use the interpreter's wording ("f() missing 1 required
// positional argument: 'a'", ...). A conversion error keeps its class and
// message and gains the note "while processing '<param>'". Defaults written in
// the signature are applied when an argument is absent; a parameter with
// default None should have type std::optional<T> (None and absence are the
// same); a default written "..." means "omitted", declared as bind::Maybe<T>.
//
// C++ exceptions: the core's error types become the Python exceptions of the
// same name; bind::PythonError means "already set"; anything else becomes the
// internal-error exception. To compute without the interpreter lock, hold a
// bind::ReleaseGil while touching no Python object.
#pragma once

#include "bind/call.hpp"
#include "bind/casters.hpp"
#include "bind/class.hpp"
#include "bind/errors.hpp"
#include "bind/ref.hpp"
#include "bind/signature.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace bind {

namespace detail {
PyObject* create_function(PyMethodDef* def, PyObject* module);

template <FixedString Sig, auto Fn>
struct Function {
  static constexpr ParsedSignature sig = parse_signature(Sig.view());
  static inline CallSite site;
  static inline PyMethodDef method{};
  static inline std::string name;
  static inline std::string doc;
  using Params = typename FnTraits<decltype(Fn)>::Args;

  static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return invoke<Params>(site, args, PyVectorcall_NARGS(nargsf), kwnames,
                          [](auto&&... a) -> decltype(auto) { return Fn(std::forward<decltype(a)>(a)...); });
  }
};
}  // namespace detail

// A module-level function.
template <FixedString Sig, auto Fn>
Decl def(const char* description) {
  using F = detail::Function<Sig, Fn>;
  static_assert(F::sig.valid && !F::sig.has_self, "bad function signature");
  static_assert(detail::FnTraits<decltype(Fn)>::arity == F::sig.count,
                "signature and C++ parameters differ in number");
  std::string text = std::string(Sig.view()) + "\n--\n\n" + description;
  return Decl{std::string(F::sig.name), [text](PyObject* module) -> PyObject* {
                detail::init_call_site(F::site, F::sig, std::string(F::sig.name));
                F::name = std::string(F::sig.name);
                F::doc = text;
                F::method = {F::name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&F::call)),
                             METH_FASTCALL | METH_KEYWORDS, F::doc.c_str()};
                return detail::create_function(&F::method, module);
              }};
}

// The declarations of one family, in any order (the module's registration
// table fixes the order of names).
struct Family {
  Family(std::initializer_list<Decl> list) : decls(list) {}
  std::vector<Decl> decls;
};

// Releases the interpreter lock for its lifetime.
class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

// Appends `name` to the module's __all__ (creating it) and sets the attribute.
// Steals `value`. Throws PythonError.
void add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace bind
