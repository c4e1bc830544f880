// numpy functions and array access used by the modules.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/engine/dtype.hpp"
#include "host/python.hpp"

namespace zelka::host {

struct Numpy {
  nb::object module;
  nb::object ndarray;
  nb::object zeros, empty, sum, dot, asarray, ascontiguousarray, require, result_type, broadcast_to,
      count_nonzero, geterr;
  nb::object float32, float64;                // the dtype objects
  nb::object float32_scalar, float64_scalar;  // the scalar types
  // Bind numpy; every module calls this when it is loaded, before any operation runs.
  static void load();
  static const Numpy& get();
};

// type(obj) is numpy.ndarray (not a subclass).
bool is_exact_ndarray(nb::handle obj);

// The engine type of an array's dtype: float32 or float64 in native byte order, else none.
bool engine_dtype(nb::handle dtype, engine::DType& out);

nb::object dtype_object(engine::DType d);

// array.shape as integers (read from the array's fields for an exact numpy.ndarray).
std::vector<std::int64_t> shape_of(nb::handle array);
// array.nbytes of an exact numpy.ndarray of a fixed-size numeric or bool dtype, read from its
// fields; nullopt for anything else.
std::optional<std::int64_t> ndarray_nbytes(nb::handle array);
nb::object shape_tuple(const std::vector<std::int64_t>& shape);
std::int64_t element_count(const std::vector<std::int64_t>& shape);

// A numpy array (exactly numpy.ndarray) of float32 or float64 in native byte order, as its
// fields describe it.  `data` is the array's own buffer: valid while
// the array lives.  An array viewed at an odd byte offset (a view into a byte buffer, a
// field of a packed record) is not aligned: its values must be copied before they are read
// as floats.
struct FloatArray {
  engine::DType dtype;
  std::vector<std::int64_t> shape;
  bool c_contiguous;
  bool aligned;
  const void* data;
  // The values can be read where they are, as one run of floats or doubles.
  bool in_place() const { return c_contiguous && aligned; }
};
std::optional<FloatArray> float_array(nb::handle obj);

// Access to the data of a C-contiguous array.  Read-only access to an array whose data is
// not aligned to its item size reads an aligned copy; `owner()` is the array the data
// belongs to, to be kept alive wherever the pointer outlives this view.
class ArrayData {
 public:
  explicit ArrayData(nb::handle array, bool writable = false);
  ~ArrayData();
  ArrayData(const ArrayData&) = delete;
  ArrayData& operator=(const ArrayData&) = delete;
  void* data() const { return view_.buf; }
  std::int64_t bytes() const { return view_.len; }
  const nb::object& owner() const { return owner_; }

 private:
  nb::object owner_;
  Py_buffer view_{};
};

// A new C-contiguous array with `shape` and `dtype`, filled with a copy of `bytes`.
nb::object array_from_bytes(const void* bytes, const std::vector<std::int64_t>& shape,
                            engine::DType dtype);

}  // namespace zelka::host
