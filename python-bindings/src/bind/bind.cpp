#include "bind/bind.hpp"

#include "core/errors.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace bind {

// ---- errors ------------------------------------------------------------------

PyObject* internal_error_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "thalren_native.InternalError",
      "A broken internal invariant of the native module (a bug, not a user error).", PyExc_BaseException,
      nullptr);
  return type;
}

std::nullptr_t raise(PyObject* type, std::string_view message) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  return nullptr;
}

void translate_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) raise(internal_error_type(), "error indicator not set after a failed call");
  } catch (const thalren::ValueError& e) {
    raise(PyExc_ValueError, e.what());
  } catch (const thalren::TypeError& e) {
    raise(PyExc_TypeError, e.what());
  } catch (const thalren::OverflowError& e) {
    raise(PyExc_OverflowError, e.what());
  } catch (const thalren::RuntimeError& e) {
    raise(PyExc_RuntimeError, e.what());
  } catch (const thalren::OSError& e) {
    if (e.errno_value != 0) {
      PyObject* args = Py_BuildValue("(is)", e.errno_value, e.what());
      if (args != nullptr) {
        PyErr_SetObject(PyExc_OSError, args);
        Py_DECREF(args);
      }
    } else {
      raise(PyExc_OSError, e.what());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise(internal_error_type(), e.what());
  } catch (...) {
    raise(internal_error_type(), "unknown C++ exception");
  }
}

void add_param_note(std::string_view param) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  std::string note = "while processing '" + std::string(param) + "'";
  PyObject* result = PyObject_CallMethod(exc, "add_note", "s", note.c_str());
  if (result == nullptr) {
    PyErr_Clear();
  } else {
    Py_DECREF(result);
  }
  PyErr_SetRaisedException(exc);
}

std::string type_qualname(PyObject* o) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  if (utf8 == nullptr) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  return utf8;
}

bool type_mismatch(PyObject* given, std::string_view expected) noexcept {
  try {
    std::string message = given == Py_None ? std::string("'None' is not an instance of '")
                                           : "'" + type_qualname(given) + "' object is not an instance of '";
    message += expected;
    message += "'";
    raise(PyExc_TypeError, message);
  } catch (...) {
    PyErr_NoMemory();
  }
  return false;
}

namespace detail {

// ---- scalars --------------------------------------------------------------------

bool load_u64(PyObject* src, unsigned long long& out) {
  if (PyLong_CheckExact(src)) {
    out = PyLong_AsUnsignedLongLong(src);
    return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
  }
  Ref index = Ref::steal(PyNumber_Index(src));
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

bool load_i64(PyObject* src, long long& out) {
  if (PyLong_CheckExact(src)) {
    out = PyLong_AsLongLong(src);
    return !(out == -1 && PyErr_Occurred());
  }
  Ref index = Ref::steal(PyNumber_Index(src));
  if (!index) return false;
  out = PyLong_AsLongLong(index.get());
  return !(out == -1 && PyErr_Occurred());
}

bool narrow_error(bool too_large) {
  PyErr_SetString(PyExc_OverflowError,
                  too_large ? "number too large to fit in target type" : "number too small to fit in target type");
  return false;
}

bool load_f64(PyObject* src, double& out) {
  out = PyFloat_AsDouble(src);
  return !(out == -1.0 && PyErr_Occurred());
}

bool load_bool(PyObject* src, bool& out) {
  if (src == Py_True || src == Py_False) {
    out = src == Py_True;
    return true;
  }
  // numpy's boolean scalar, recognised by its type name so that numpy is never imported here.
  const char* name = Py_TYPE(src)->tp_name;
  if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
    int truth = PyObject_IsTrue(src);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  return type_mismatch(src, "bool");
}

// ---- sequences ---------------------------------------------------------------------

bool check_list_like(PyObject* src) {
  if (PyUnicode_Check(src)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract 'str' to a list: a str is not accepted as a sequence");
    return false;
  }
  if (!PySequence_Check(src)) return type_mismatch(src, "Sequence");
  return true;
}

Ref sequence_snapshot(PyObject* src) {
  if (PyTuple_CheckExact(src)) return Ref::borrow(src);
  if (!check_list_like(src)) return Ref();
  if (PyList_CheckExact(src)) return Ref::steal(PyList_AsTuple(src));
  return Ref::steal(PySequence_Tuple(src));
}

bool list_changed_size() {
  PyErr_SetString(PyExc_RuntimeError, "list changed size during conversion");
  return false;
}

template <class F>
bool fill_floats(PyObject* seq, F* dst) {
  const bool is_list = PyList_CheckExact(seq);
  const Py_ssize_t n = Py_SIZE(seq);
  PyObject** items = is_list ? reinterpret_cast<PyListObject*>(seq)->ob_item
                             : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    double value;
    if (PyFloat_CheckExact(item)) {
      value = PyFloat_AS_DOUBLE(item);
    } else if (PyLong_CheckExact(item)) {
      value = PyLong_AsDouble(item);  // OverflowError beyond the double range
      if (value == -1.0 && PyErr_Occurred()) return false;
    } else {
      Ref hold = Ref::borrow(item);
      if (!load_f64(item, value)) return false;
      if (is_list) {
        if (Py_SIZE(seq) != n) return list_changed_size();
        items = reinterpret_cast<PyListObject*>(seq)->ob_item;
      }
    }
    dst[i] = static_cast<F>(value);
  }
  return true;
}
template bool fill_floats<float>(PyObject*, float*);
template bool fill_floats<double>(PyObject*, double*);

template <class F>
bool load_float_sequence(PyObject* src, std::vector<F>& out) {
  if (PyList_CheckExact(src) || PyTuple_CheckExact(src)) {
    out.resize(static_cast<std::size_t>(Py_SIZE(src)));
    return fill_floats(src, out.data());
  }
  Ref snapshot = sequence_snapshot(src);
  if (!snapshot) return false;
  return load_float_sequence(snapshot.get(), out);
}
template bool load_float_sequence<float>(PyObject*, std::vector<float>&);
template bool load_float_sequence<double>(PyObject*, std::vector<double>&);

// ---- argument binding ------------------------------------------------------------------

static PyObject* parse_default(std::string_view text) {
  if (text == "...") return nullptr;
  if (text == "None") return Py_NewRef(Py_None);
  if (text == "True") return Py_NewRef(Py_True);
  if (text == "False") return Py_NewRef(Py_False);
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front()) {
    return check(PyUnicode_DecodeUTF8(text.data() + 1, static_cast<Py_ssize_t>(text.size() - 2), "strict"));
  }
  std::string s(text);
  if (s.find_first_of(".eE") == std::string::npos || s.rfind("0x", 0) == 0) {
    char* end = nullptr;
    PyObject* v = PyLong_FromString(s.c_str(), &end, 0);
    if (v != nullptr) return v;
    PyErr_Clear();
  }
  Ref str = check_ref(PyUnicode_FromString(s.c_str()));
  return check(PyFloat_FromString(str.get()));
}

void init_call_site(CallSite& site, const ParsedSignature& sig, std::string display) {
  site.display = std::move(display);
  site.sig = &sig;
  site.count = sig.count;
  site.required = sig.required;
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (site.names[i] == nullptr) {
      std::string name(sig.params[i]);
      site.names[i] = check(PyUnicode_InternFromString(name.c_str()));
    }
    if (site.defaults[i] == nullptr && !sig.defaults[i].empty()) site.defaults[i] = parse_default(sig.defaults[i]);
  }
}

static std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

static bool binding_error(const CallSite& site, const std::string& rest) {
  std::string message = site.display + "() " + rest;
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

static std::string count_phrase(std::size_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

bool bind_arguments(const CallSite& site, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
  const std::size_t count = site.count;
  const std::size_t given = static_cast<std::size_t>(nargs);
  if (given > count) {
    std::string takes = site.required == count
                            ? count_phrase(count, "positional argument")
                            : "from " + std::to_string(site.required) + " to " + count_phrase(count, "positional argument");
    return binding_error(site, "takes " + takes + " but " + std::to_string(given) +
                                   (given == 1 ? " was given" : " were given"));
  }
  for (std::size_t i = 0; i < count; ++i) slots[i] = i < given ? args[i] : nullptr;
  bool filled[kMaxParams] = {};
  for (std::size_t i = 0; i < given; ++i) filled[i] = true;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      std::size_t index = count;
      for (std::size_t i = 0; i < count; ++i) {
        if (site.names[i] == key) {
          index = i;
          break;
        }
      }
      if (index == count) {
        for (std::size_t i = 0; i < count; ++i) {
          int eq = PyUnicode_Compare(site.names[i], key);
          if (eq == -1 && PyErr_Occurred()) return false;
          if (eq == 0) {
            index = i;
            break;
          }
        }
      }
      const char* key_text = PyUnicode_AsUTF8(key);
      if (key_text == nullptr) return false;
      if (index == count) return binding_error(site, std::string("got an unexpected keyword argument '") + key_text + "'");
      if (filled[index]) return binding_error(site, std::string("got multiple values for argument '") + key_text + "'");
      filled[index] = true;
      slots[index] = args[nargs + k];
    }
  }
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < count; ++i) {
    if (filled[i]) continue;
    if (i < site.required) {
      missing.push_back(site.sig->params[i]);
    } else {
      slots[i] = site.defaults[i];  // nullptr for an omitted "..." parameter
    }
  }
  if (!missing.empty()) {
    return binding_error(site, "missing " + count_phrase(missing.size(), "required positional argument") + ": " +
                                   quoted_list(missing));
  }
  return true;
}

bool unpack_tuple_call(PyObject* args, PyObject* kwargs, UnpackedCall& out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  out.nargs = nargs;
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
    out.args = reinterpret_cast<PyTupleObject*>(args)->ob_item;
    return true;
  }
  const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
  out.storage.assign(reinterpret_cast<PyTupleObject*>(args)->ob_item,
                     reinterpret_cast<PyTupleObject*>(args)->ob_item + nargs);
  out.kwnames = Ref::steal(PyTuple_New(nkw));
  if (!out.kwnames) return false;
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(out.kwnames.get(), k++, Py_NewRef(key));
    out.storage.push_back(value);  // borrowed from kwargs, alive for the call
  }
  out.args = out.storage.data();
  return true;
}

// ---- classes -----------------------------------------------------------------------------

bool raise_borrowed(bool exclusive) {
  PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
  return false;
}

PyObject* type_not_ready(const std::string& name) {
  throw std::logic_error("class " + name + " used before registration");
}

PyObject* create_class(ClassState& state, PyObject* module, std::size_t basicsize, destructor dealloc) {
  std::vector<PyType_Slot> slots = state.slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  slots.push_back({Py_tp_doc, const_cast<char*>(state.keep(state.doc))});
  if (state.methods.empty() || state.methods.back().ml_name != nullptr) state.methods.push_back({});
  if (state.getset.empty() || state.getset.back().name != nullptr) state.getset.push_back({});
  slots.push_back({Py_tp_methods, state.methods.data()});
  slots.push_back({Py_tp_getset, state.getset.data()});
  slots.push_back({0, nullptr});
  std::string qualified = "builtins." + state.name;
  const unsigned flags = static_cast<unsigned>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                               (state.constructible ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION));
  PyType_Spec spec{state.keep(qualified), static_cast<int>(basicsize), 0, flags, slots.data()};
  Ref type = check_ref(PyType_FromModuleAndSpec(module, &spec, nullptr));
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  if (state.vectorcall != nullptr) tp->tp_vectorcall = state.vectorcall;
  if (state.finish) state.finish(tp);
  return type.release();
}

PyObject* enum_richcompare(PyObject* a, PyObject* b, int op, long long (*value_of)(PyObject*)) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  long long lhs = value_of(a);
  bool equal;
  if (Py_TYPE(b) == Py_TYPE(a)) {
    equal = lhs == value_of(b);
  } else {
    Ref index = Ref::steal(PyNumber_Index(b));
    if (!index) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
    int overflow = 0;
    long long rhs = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (rhs == -1 && PyErr_Occurred()) return nullptr;
    equal = overflow == 0 && lhs == rhs;
  }
  return Py_NewRef((op == Py_EQ) == equal ? Py_True : Py_False);
}

PyObject* create_function(PyMethodDef* def, PyObject* module) {
  Ref name = check_ref(PyModule_GetNameObject(module));
  return check(PyCMethod_New(def, module, name.get(), nullptr));
}

}  // namespace detail

void add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  Ref all_ref;
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all_ref = check_ref(PyList_New(0));
    if (PyModule_AddObjectRef(module, "__all__", all_ref.get()) < 0) throw PythonError{};
  } else {
    all_ref = Ref::steal(all);
  }
  Ref key = check_ref(PyUnicode_FromString(name));
  if (PyList_Append(all_ref.get(), key.get()) < 0) throw PythonError{};
  if (PyModule_AddObjectRef(module, name, owned.get()) < 0) throw PythonError{};
}

}  // namespace bind
