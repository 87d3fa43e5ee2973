// Conversion between Python objects and C++ values.
//
// `Caster<T>` converts one parameter of type T (after removing cv/ref) and one
// result of type T:
//   bool load(PyObject* src)   src is a borrowed reference, or nullptr for an
//                              omitted argument (only `Maybe<T>` accepts that);
//                              on failure sets a Python exception, returns false
//   decltype(auto) get()       the converted value, valid while the caster lives
//   static PyObject* cast(T)   a new reference; throws PythonError on failure
// A family may specialise Caster for its own types.
//
// Text parameters are read in place as UTF-8: a `std::string_view` points into
// the str object's cached UTF-8 form and is valid for the whole call.
#pragma once

#include "bind/errors.hpp"

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace bind {

template <class T, class Enable = void>
struct Caster;  // class instances: see class.hpp

// An argument that may be omitted (a signature default written "..."); unlike
// std::optional, an explicit None is converted as T and therefore refused.
template <class T>
struct Maybe {
  std::optional<T> value;
  bool has_value() const { return value.has_value(); }
  T& operator*() { return *value; }
  const T* operator->() const { return &*value; }
  T value_or(T fallback) && { return value ? std::move(*value) : std::move(fallback); }
};

// A dict result whose keys keep the order in which they were appended.
// OrderedDict<Ref> holds values of mixed types.
template <class V, class K = std::string>
struct OrderedDict {
  std::vector<std::pair<K, V>> items;
  void add(K key, V value) { items.emplace_back(std::move(key), std::move(value)); }
};

template <class T>
PyObject* cast(T&& value) {
  return Caster<std::remove_cvref_t<T>>::cast(std::forward<T>(value));
}
template <class T>
Ref to_python(T&& value) {
  return Ref::steal(cast(std::forward<T>(value)));
}

// ---- text -----------------------------------------------------------------

inline PyObject* str_from_utf8(std::string_view s) {
  return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

template <>
struct Caster<std::string_view> {
  std::string_view value;
  bool load(PyObject* src) {
    if (!PyUnicode_Check(src)) return type_mismatch(src, "str");
    if (PyUnicode_IS_COMPACT_ASCII(src)) {  // ASCII is its own UTF-8: no call needed
      value = std::string_view(static_cast<const char*>(PyUnicode_DATA(src)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(src)));
      return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(src, &size);
    if (data == nullptr) return false;
    value = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  std::string_view get() const { return value; }
  static PyObject* cast(std::string_view s) { return str_from_utf8(s); }
};

template <>
struct Caster<std::string> {
  std::string value;
  bool load(PyObject* src) {
    Caster<std::string_view> text;
    if (!text.load(src)) return false;
    value.assign(text.value);
    return true;
  }
  std::string&& get() { return std::move(value); }
  static PyObject* cast(const std::string& s) { return str_from_utf8(s); }
};

template <>
struct Caster<const char*> {
  static PyObject* cast(const char* s) { return str_from_utf8(s); }
};

// ---- numbers ----------------------------------------------------------------

namespace detail {
bool load_u64(PyObject* src, unsigned long long& out);
bool load_i64(PyObject* src, long long& out);
bool load_f64(PyObject* src, double& out);
bool load_bool(PyObject* src, bool& out);
bool narrow_error(bool too_large);
}  // namespace detail

template <class T>
struct Caster<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  T value{};
  bool load(PyObject* src) {
    if constexpr (std::is_unsigned_v<T> && sizeof(T) == 8) {
      unsigned long long v;
      if (!detail::load_u64(src, v)) return false;
      value = static_cast<T>(v);
    } else {
      long long v;
      if (!detail::load_i64(src, v)) return false;
      if (v > static_cast<long long>(std::numeric_limits<T>::max())) return detail::narrow_error(true);
      if (v < static_cast<long long>(std::numeric_limits<T>::min())) return detail::narrow_error(false);
      value = static_cast<T>(v);
    }
    return true;
  }
  T get() const { return value; }
  static PyObject* cast(T v) {
    if constexpr (std::is_unsigned_v<T>) {
      return check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
    } else {
      return check(PyLong_FromLongLong(static_cast<long long>(v)));
    }
  }
};

template <>
struct Caster<bool> {
  bool value = false;
  bool load(PyObject* src) { return detail::load_bool(src, value); }
  bool get() const { return value; }
  static PyObject* cast(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};

template <>
struct Caster<double> {
  double value = 0;
  bool load(PyObject* src) {
    if (PyFloat_CheckExact(src)) {
      value = PyFloat_AS_DOUBLE(src);
      return true;
    }
    return detail::load_f64(src, value);
  }
  double get() const { return value; }
  static PyObject* cast(double v) { return check(PyFloat_FromDouble(v)); }
};

template <>
struct Caster<float> {
  float value = 0;
  bool load(PyObject* src) {
    double d;
    if (PyFloat_CheckExact(src)) {
      d = PyFloat_AS_DOUBLE(src);
    } else if (!detail::load_f64(src, d)) {
      return false;
    }
    value = static_cast<float>(d);  // round to nearest binary32
    return true;
  }
  float get() const { return value; }
  static PyObject* cast(float v) { return check(PyFloat_FromDouble(static_cast<double>(v))); }
};

// ---- any object ---------------------------------------------------------------

// A parameter of type Ref accepts any object; a result of type Ref is returned
// as is (it must hold a reference).
template <>
struct Caster<Ref> {
  Ref value;
  bool load(PyObject* src) {
    value = Ref::borrow(src);
    return true;
  }
  Ref get() const { return value; }
  static PyObject* cast(Ref v) {
    if (!v) throw std::logic_error("null reference returned to Python");
    return v.release();
  }
};

// A borrowed object, valid for the call.
template <>
struct Caster<PyObject*> {
  PyObject* value = nullptr;
  bool load(PyObject* src) {
    value = src;
    return true;
  }
  PyObject* get() const { return value; }
};

// ---- optional values ------------------------------------------------------------

template <class T>
struct Caster<std::optional<T>> {
  std::optional<T> value;
  bool load(PyObject* src) {
    if (src == nullptr || src == Py_None) return true;
    Caster<T> inner;
    if (!inner.load(src)) return false;
    value.emplace(inner.get());
    return true;
  }
  std::optional<T>&& get() { return std::move(value); }
  static PyObject* cast(const std::optional<T>& v) {
    return v ? bind::cast(*v) : Py_NewRef(Py_None);
  }
  static PyObject* cast(std::optional<T>&& v) {
    return v ? bind::cast(std::move(*v)) : Py_NewRef(Py_None);
  }
};

template <class T>
struct Caster<Maybe<T>> {
  Maybe<T> value;
  bool load(PyObject* src) {
    if (src == nullptr) return true;
    Caster<T> inner;
    if (!inner.load(src)) return false;
    value.value.emplace(inner.get());
    return true;
  }
  Maybe<T>&& get() { return std::move(value); }
};

template <>
struct Caster<std::nullopt_t> {
  static PyObject* cast(std::nullopt_t) { return Py_NewRef(Py_None); }
};

// ---- sequences -------------------------------------------------------------------

namespace detail {
// Checks that `src` may be read as a list: any sequence but str. On success
// returns a tuple snapshot of its items (so that borrowed element views stay
// valid even if the caller's list changes during the call).
Ref sequence_snapshot(PyObject* src);
bool check_list_like(PyObject* src);
}  // namespace detail

template <class T>
struct Caster<std::vector<T>> {
  std::vector<T> value;
  Ref keep;  // owns the items that element views point into
  bool load(PyObject* src) {
    keep = detail::sequence_snapshot(src);
    if (!keep) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(keep.get());
    value.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Caster<T> element;
      if (!element.load(PyTuple_GET_ITEM(keep.get(), i))) return false;
      value.emplace_back(element.get());
    }
    return true;
  }
  std::vector<T>&& get() { return std::move(value); }

  template <class V>
  static PyObject* cast(V&& v) {
    Ref list = check_ref(PyList_New(static_cast<Py_ssize_t>(v.size())));
    Py_ssize_t i = 0;
    for (auto&& item : v) {
      if constexpr (std::is_rvalue_reference_v<V&&>) {
        PyList_SET_ITEM(list.get(), i++, bind::cast(std::move(item)));
      } else {
        PyList_SET_ITEM(list.get(), i++, bind::cast(item));
      }
    }
    return list.release();
  }
};

// std::vector<bool> hands out proxy references, so it gets its own caster.
template <>
struct Caster<std::vector<bool>> {
  std::vector<bool> value;
  bool load(PyObject* src) {
    Ref items = detail::sequence_snapshot(src);
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    value.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      bool b;
      if (!detail::load_bool(PyTuple_GET_ITEM(items.get(), i), b)) return false;
      value[static_cast<std::size_t>(i)] = b;
    }
    return true;
  }
  std::vector<bool>&& get() { return std::move(value); }
  static PyObject* cast(const std::vector<bool>& v) {
    Ref list = check_ref(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(v[i] ? Py_True : Py_False));
    }
    return list.release();
  }
};

namespace detail {
// Writes the items of `seq`, an exact list or tuple, to dst[0, len(seq)) as
// F (doubles narrowed to the nearest F). Exact floats and ints run no Python
// code; anything else goes through the float protocol, which may run Python
// code that changes a list: the item is held, the list's storage re-read, and
// a change of size fails with RuntimeError.
template <class F>
bool fill_floats(PyObject* seq, F* dst);

// Reads any sequence but str of numbers into `out` (fill_floats on exact
// lists and tuples, a tuple snapshot of anything else).
template <class F>
bool load_float_sequence(PyObject* src, std::vector<F>& out);

// Sets RuntimeError "list changed size during conversion"; returns false.
bool list_changed_size();

// A new list of Python floats (exact widening of F).
template <class F>
PyObject* float_list(std::span<const F> v) {
  Ref list = check_ref(PyList_New(static_cast<Py_ssize_t>(v.size())));
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(static_cast<double>(v[i]))));
  }
  return list.release();
}
}  // namespace detail

template <class F>
struct FloatVectorCaster {
  std::vector<F> value;
  bool load(PyObject* src) { return detail::load_float_sequence(src, value); }
  std::vector<F>&& get() { return std::move(value); }
  static PyObject* cast(const std::vector<F>& v) { return detail::float_list(std::span<const F>(v)); }
};
template <>
struct Caster<std::vector<float>> : FloatVectorCaster<float> {};
template <>
struct Caster<std::vector<double>> : FloatVectorCaster<double> {};

// ---- tuples and dicts (results) ---------------------------------------------------

template <class... Ts>
struct Caster<std::tuple<Ts...>> {
  template <class Tuple>
  static PyObject* cast(Tuple&& t) {
    Ref tuple = check_ref(PyTuple_New(sizeof...(Ts)));
    std::apply(
        [&](auto&&... items) {
          Py_ssize_t i = 0;
          (PyTuple_SET_ITEM(tuple.get(), i++, bind::cast(std::forward<decltype(items)>(items))), ...);
        },
        std::forward<Tuple>(t));
    return tuple.release();
  }
};

template <class A, class B>
struct Caster<std::pair<A, B>> {
  template <class Pair>
  static PyObject* cast(Pair&& p) {
    Ref first = to_python(std::forward<Pair>(p).first);
    Ref second = to_python(std::forward<Pair>(p).second);
    return check(PyTuple_Pack(2, first.get(), second.get()));
  }
};

namespace detail {
template <class Map>
PyObject* cast_map(Map&& m) {
  Ref dict = check_ref(PyDict_New());
  for (auto&& [key, value] : m) {
    Ref k = to_python(key);
    Ref v = to_python(value);
    if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) throw PythonError{};
  }
  return dict.release();
}
}  // namespace detail

template <class K, class V, class... Rest>
struct Caster<std::unordered_map<K, V, Rest...>> {
  template <class Map>
  static PyObject* cast(Map&& m) { return detail::cast_map(std::forward<Map>(m)); }
};
template <class K, class V, class... Rest>
struct Caster<std::map<K, V, Rest...>> {
  template <class Map>
  static PyObject* cast(Map&& m) { return detail::cast_map(std::forward<Map>(m)); }
};
template <class V, class K>
struct Caster<OrderedDict<V, K>> {
  template <class D>
  static PyObject* cast(D&& d) { return detail::cast_map(std::forward<D>(d).items); }
};

template <class... Ts>
struct Caster<std::variant<Ts...>> {
  template <class Var>
  static PyObject* cast(Var&& v) {
    return std::visit([](auto&& alt) { return bind::cast(std::forward<decltype(alt)>(alt)); },
                      std::forward<Var>(v));
  }
};

template <>
struct Caster<std::monostate> {
  static PyObject* cast(std::monostate) { return Py_NewRef(Py_None); }
};

}  // namespace bind
