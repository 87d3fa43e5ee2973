// Classes: heap types named "builtins.<Class>" holding one C++ value each.
//
//   bind::Class<PyToolCall>("ToolCall", "A tool invocation ...")
//       .init<"ToolCall(id, name, arguments=...)", &make_tool_call>()
//       .method<"as_json($self)", &as_json>("Doc.")
//       .property<"id", &get_id>("Doc.")
//       .repr<&tool_call_repr>()
//
// Every type is final (no subclassing), has no instance dict and read-only
// properties. Without `init` the type cannot be instantiated from Python.
// Enum-like classes (`variants`) keep one object per variant, exposed as class
// attributes, compare equal to their int value and are unhashable.
//
// Borrowing: a method whose receiver is `T&` needs exclusive access, one whose
// receiver is `const T&` (and every property and instance argument) shared
// access; a call that finds the object borrowed incompatibly raises
// RuntimeError instead of touching it.
#pragma once

#include "bind/call.hpp"

#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace bind {

// Something to register in the module: a function or a class.
struct Decl {
  std::string name;
  std::function<PyObject*(PyObject* module)> create;  // new reference; throws PythonError
};

template <class T>
struct Instance {
  PyObject_HEAD
  Py_ssize_t borrow;  // > 0: shared borrows; -1: exclusively borrowed
  T value;
};

template <class T>
struct TypeSlot {
  static inline PyTypeObject* type = nullptr;
  static inline std::string name;
  // Enum-like classes: the single object of each variant.
  static inline std::vector<std::pair<T, PyObject*>> variants;
};

namespace detail {
bool raise_borrowed(bool exclusive);
PyObject* type_not_ready(const std::string& name);

template <class T>
Instance<T>* as_instance(PyObject* o) {
  return reinterpret_cast<Instance<T>*>(o);
}

// Holds a borrow of one instance for the duration of a call.
template <class T, bool Exclusive>
class BorrowGuard {
 public:
  bool acquire(PyObject* o) {
    Instance<T>* inst = as_instance<T>(o);
    if (Exclusive ? inst->borrow != 0 : inst->borrow < 0) return raise_borrowed(Exclusive);
    inst->borrow = Exclusive ? -1 : inst->borrow + 1;
    inst_ = inst;
    return true;
  }
  ~BorrowGuard() {
    if (inst_) inst_->borrow = Exclusive ? 0 : inst_->borrow - 1;
  }
  T& value() { return inst_->value; }

 private:
  Instance<T>* inst_ = nullptr;
};

template <class T, class... A>
PyObject* new_instance(PyTypeObject* type, A&&... args) {
  if (type == nullptr) return type_not_ready(TypeSlot<T>::name);
  // Our types are not garbage-collected and keep the generic allocator, whose
  // only extra work is clearing memory that the constructor below fills
  // anyway; results such as lists of matches create tens of thousands of
  // instances, so allocate directly when that holds.
  const bool direct = !PyType_IS_GC(type) && type->tp_alloc == PyType_GenericAlloc;
  PyObject* o = direct ? static_cast<PyObject*>(PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize)))
                       : type->tp_alloc(type, 0);
  if (o == nullptr) {
    if (direct) PyErr_NoMemory();
    throw PythonError{};
  }
  if (direct) PyObject_Init(o, type);
  Ref owner = Ref::steal(o);
  auto* inst = as_instance<T>(o);
  inst->borrow = 0;
  new (&inst->value) T(std::forward<A>(args)...);
  return owner.release();
}

template <class T>
void dealloc(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  as_instance<T>(o)->value.~T();
  type->tp_free(o);
  Py_DECREF(type);
}
}  // namespace detail

// Instances of bound classes as parameters (shared borrow for the call) and
// as results (always a new object; the single variant object for enums).
template <class T, class Enable>
struct Caster {
  static_assert(std::is_class_v<T>, "no Caster for this type");
  detail::BorrowGuard<T, false> guard;
  bool load(PyObject* src) {
    PyTypeObject* type = TypeSlot<T>::type;
    if (type == nullptr || Py_TYPE(src) != type) return type_mismatch(src, TypeSlot<T>::name);
    return guard.acquire(src);
  }
  T& get() { return guard.value(); }
  static PyObject* cast(const T& v) { return detail::new_instance<T>(TypeSlot<T>::type, v); }
  static PyObject* cast(T&& v) { return detail::new_instance<T>(TypeSlot<T>::type, std::move(v)); }
};

template <class T>
struct Caster<T, std::enable_if_t<std::is_enum_v<T>>> {
  T value{};
  bool load(PyObject* src) {
    PyTypeObject* type = TypeSlot<T>::type;
    if (type == nullptr || Py_TYPE(src) != type) return type_mismatch(src, TypeSlot<T>::name);
    value = detail::as_instance<T>(src)->value;
    return true;
  }
  T get() const { return value; }
  static PyObject* cast(T v) {
    for (auto& [variant, object] : TypeSlot<T>::variants) {
      if (variant == v) return Py_NewRef(object);
    }
    throw std::logic_error("enum value without a Python object: " + TypeSlot<T>::name);
  }
};

namespace detail {

// Everything a class declaration accumulates; lives as long as the process
// (the type object points into these arrays).
struct ClassState {
  std::string name;
  std::string doc;
  bool constructible = false;
  bool is_enum = false;
  std::deque<std::string> strings;  // stable storage for docstrings
  std::vector<PyMethodDef> methods;
  std::vector<PyGetSetDef> getset;
  std::vector<PyType_Slot> slots;
  std::vector<std::function<void(const std::string& class_name)>> site_inits;
  vectorcallfunc vectorcall = nullptr;
  std::function<void(PyTypeObject*)> finish;  // enum variants
  const char* keep(std::string s) { return strings.emplace_back(std::move(s)).c_str(); }
};

PyObject* create_class(ClassState& state, PyObject* module, std::size_t basicsize, destructor dealloc);
PyObject* enum_richcompare(PyObject* a, PyObject* b, int op, long long (*value_of)(PyObject*));

template <class Self>
constexpr bool is_exclusive_receiver = !std::is_const_v<std::remove_reference_t<Self>>;

}  // namespace detail

template <class T>
class Class {
 public:
  Class(const char* name, const char* doc) : state_(std::make_shared<detail::ClassState>()) {
    state_->name = name;
    state_->doc = doc;
  }

  // The constructor: `Fn` returns a T built from the converted arguments.
  template <FixedString Sig, auto Fn>
  Class& init() {
    using Traits = detail::FnTraits<decltype(Fn)>;
    using Ctor = Constructor<Sig, Fn>;
    static_assert(Ctor::sig.valid && !Ctor::sig.has_self, "bad constructor signature");
    static_assert(Traits::arity == Ctor::sig.count, "signature and C++ parameters differ in number");
    state_->constructible = true;
    state_->doc = std::string(Sig.view()) + "\n--\n\n" + state_->doc;
    state_->slots.push_back({Py_tp_new, reinterpret_cast<void*>(&Ctor::tp_new)});
    state_->vectorcall = &Ctor::vectorcall;
    state_->site_inits.push_back([](const std::string& cls) {
      detail::init_call_site(Ctor::site, Ctor::sig, cls + ".__new__");
    });
    return *this;
  }

  // A method; `Fn`'s first parameter is the receiver (`T&` or `const T&`).
  template <FixedString Sig, auto Fn>
  Class& method(const char* doc) {
    using M = Method<Sig, Fn>;
    static_assert(M::sig.valid && M::sig.has_self, "method signatures start with $self");
    static_assert(detail::FnTraits<decltype(Fn)>::arity == M::sig.count + 1,
                  "signature and C++ parameters differ in number");
    state_->methods.push_back({state_->keep(std::string(M::sig.name)),
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&M::call)),
                               METH_FASTCALL | METH_KEYWORDS,
                               state_->keep(std::string(Sig.view()) + "\n--\n\n" + doc)});
    state_->site_inits.push_back([](const std::string& cls) {
      detail::init_call_site(M::site, M::sig, cls + "." + std::string(M::sig.name));
    });
    return *this;
  }

  // A read-only attribute computed by `Fn(const T&)`.
  template <FixedString Name, auto Fn>
  Class& property(const char* doc = nullptr) {
    state_->getset.push_back({state_->keep(std::string(Name.view())), &Getter<Fn>::get, nullptr,
                              doc ? state_->keep(doc) : nullptr, nullptr});
    return *this;
  }

  template <auto Fn>
  Class& repr() {
    state_->slots.push_back({Py_tp_repr, reinterpret_cast<void*>(&TextSlot<Fn>::call)});
    return *this;
  }
  template <auto Fn>
  Class& str() {
    state_->slots.push_back({Py_tp_str, reinterpret_cast<void*>(&TextSlot<Fn>::call)});
    return *this;
  }

  // Makes the class enum-like: one object per variant, registered as class
  // attributes in the order given.
  Class& variants(std::vector<std::pair<const char*, T>> list) {
    static_assert(std::is_enum_v<T>, "variants() is for enum types");
    state_->is_enum = true;
    state_->slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&enum_compare)});
    state_->slots.push_back({Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)});
    state_->slots.push_back({Py_nb_int, reinterpret_cast<void*>(&enum_int)});
    state_->finish = [list](PyTypeObject* type) {
      TypeSlot<T>::variants.clear();
      for (auto& [attr, value] : list) {
        PyObject* object = detail::new_instance<T>(type, value);
        TypeSlot<T>::variants.emplace_back(value, object);  // kept for the process
        if (PyDict_SetItemString(type->tp_dict, attr, object) < 0) throw PythonError{};
      }
      PyType_Modified(type);
    };
    return *this;
  }

  operator Decl() const {
    auto state = state_;
    return Decl{state->name, [state](PyObject* module) -> PyObject* {
                  TypeSlot<T>::name = state->name;
                  for (auto& init : state->site_inits) init(state->name);
                  PyObject* type = detail::create_class(*state, module, sizeof(Instance<T>), &detail::dealloc<T>);
                  TypeSlot<T>::type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
                  return type;
                }};
  }

 private:
  template <FixedString Sig, auto Fn>
  struct Constructor {
    static constexpr ParsedSignature sig = parse_signature(Sig.view());
    static inline detail::CallSite site;
    using Params = typename detail::FnTraits<decltype(Fn)>::Args;

    static PyObject* construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
      return detail::invoke<Params>(site, args, nargs, kwnames, [type](auto&&... a) {
        return Ref::steal(detail::new_instance<T>(type, Fn(std::forward<decltype(a)>(a)...)));
      });
    }
    static PyObject* vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
      return construct(reinterpret_cast<PyTypeObject*>(type), args, PyVectorcall_NARGS(nargsf), kwnames);
    }
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
      detail::UnpackedCall call;
      if (!detail::unpack_tuple_call(args, kwargs, call)) return nullptr;
      return construct(type, call.args, call.nargs, call.kwnames.get());
    }
  };

  template <FixedString Sig, auto Fn>
  struct Method {
    static constexpr ParsedSignature sig = parse_signature(Sig.view());
    static inline detail::CallSite site;
    using AllParams = typename detail::FnTraits<decltype(Fn)>::Args;
    using Receiver = std::tuple_element_t<0, AllParams>;
    using Params = typename detail::DropFirst<AllParams>::type;
    static_assert(std::is_same_v<std::remove_cvref_t<Receiver>, T>, "the receiver must be T& or const T&");

    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
      detail::BorrowGuard<T, detail::is_exclusive_receiver<Receiver>> guard;
      if (!guard.acquire(self)) return nullptr;
      return detail::invoke<Params>(site, args, PyVectorcall_NARGS(nargsf), kwnames, [&](auto&&... a) -> decltype(auto) {
        return Fn(guard.value(), std::forward<decltype(a)>(a)...);
      });
    }
  };

  template <auto Fn>
  struct Getter {
    static PyObject* get(PyObject* self, void*) {
      detail::BorrowGuard<T, false> guard;
      if (!guard.acquire(self)) return nullptr;
      try {
        return bind::cast(Fn(guard.value()));
      } catch (...) {
        translate_exception();
        return nullptr;
      }
    }
  };

  template <auto Fn>
  struct TextSlot {
    static PyObject* call(PyObject* self) { return Getter<Fn>::get(self, nullptr); }
  };

  static long long enum_value(PyObject* o) { return static_cast<long long>(detail::as_instance<T>(o)->value); }
  static PyObject* enum_compare(PyObject* a, PyObject* b, int op) {
    return detail::enum_richcompare(a, b, op, &enum_value);
  }
  static PyObject* enum_int(PyObject* o) { return PyLong_FromLongLong(enum_value(o)); }

  std::shared_ptr<detail::ClassState> state_;
};

}  // namespace bind
