#include "host/numpy.hpp"

#include <cstring>
#include <string_view>

// The array object's fields, read through numpy's inline accessors (no call into numpy).
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/ndarraytypes.h>

using namespace nanobind::literals;

namespace zelka::host {

namespace {

// Bound when a module is loaded and kept for the life of the process (numpy is never
// unloaded while the modules use it).  A plain pointer set under the module's import, not
// a function-local static: the first call of an operation must never wait on another
// thread's initialisation while holding the interpreter.
const Numpy* loaded = nullptr;

}  // namespace

void Numpy::load() {
  if (loaded) return;
  auto* n = new Numpy();
  n->module = imported("numpy");
  n->ndarray = n->module.attr("ndarray");
  n->zeros = n->module.attr("zeros");
  n->empty = n->module.attr("empty");
  n->sum = n->module.attr("sum");
  n->dot = n->module.attr("dot");
  n->asarray = n->module.attr("asarray");
  n->ascontiguousarray = n->module.attr("ascontiguousarray");
  n->require = n->module.attr("require");
  n->result_type = n->module.attr("result_type");
  n->broadcast_to = n->module.attr("broadcast_to");
  n->count_nonzero = n->module.attr("count_nonzero");
  n->geterr = n->module.attr("geterr");
  n->float32 = n->module.attr("dtype")("float32");
  n->float64 = n->module.attr("dtype")("float64");
  n->float32_scalar = n->module.attr("float32");
  n->float64_scalar = n->module.attr("float64");
  loaded = n;
}

const Numpy& Numpy::get() {
  return *loaded;
}

namespace {

bool misaligned(const void* data, Py_ssize_t itemsize) {
  return itemsize > 1 && reinterpret_cast<std::uintptr_t>(data) % itemsize != 0;
}

// The type code of a buffer format in native byte order and size: numpy describes an
// aligned array as "f" and one that is not aligned as "=f".
std::string_view native_code(std::string_view format) {
  if (!format.empty() && (format.front() == '@' || format.front() == '=')) format.remove_prefix(1);
  return format;
}

}  // namespace

bool is_exact_ndarray(nb::handle obj) {
  return obj.type().is(Numpy::get().ndarray);
}

bool engine_dtype(nb::handle dtype, engine::DType& out) {
  const Numpy& np = Numpy::get();
  if (equal(dtype, np.float32)) {
    out = engine::DType::f32;
    return true;
  }
  if (equal(dtype, np.float64)) {
    out = engine::DType::f64;
    return true;
  }
  return false;
}

std::optional<FloatArray> float_array(nb::handle obj) {
  if (!is_exact_ndarray(obj)) return std::nullopt;
  // Read from the array's own fields (numpy's exported buffer would build a format text on
  // every call, and this runs several times per node in every call's setup).
  auto* array = reinterpret_cast<PyArrayObject*>(obj.ptr());
  const int type = PyArray_TYPE(array);
  if ((type != NPY_FLOAT && type != NPY_DOUBLE) || !PyArray_ISNOTSWAPPED(array))
    return std::nullopt;
  const npy_intp* dims = PyArray_DIMS(array);
  return FloatArray{type == NPY_FLOAT ? engine::DType::f32 : engine::DType::f64,
                    std::vector<std::int64_t>(dims, dims + PyArray_NDIM(array)),
                    PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS),
                    PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED), PyArray_DATA(array)};
}

std::optional<std::int64_t> ndarray_nbytes(nb::handle array) {
  if (!is_exact_ndarray(array)) return std::nullopt;
  auto* a = reinterpret_cast<PyArrayObject*>(array.ptr());
  std::int64_t itemsize;
  switch (PyArray_TYPE(a)) {
    case NPY_BOOL:
    case NPY_BYTE:
    case NPY_UBYTE:
      itemsize = 1;
      break;
    case NPY_SHORT:
    case NPY_USHORT:
    case NPY_HALF:
      itemsize = 2;
      break;
    case NPY_INT:
    case NPY_UINT:
    case NPY_FLOAT:
      itemsize = 4;
      break;
    case NPY_LONG:
    case NPY_ULONG:
      itemsize = sizeof(long);
      break;
    case NPY_LONGLONG:
    case NPY_ULONGLONG:
    case NPY_DOUBLE:
      itemsize = 8;
      break;
    default:
      return std::nullopt;
  }
  std::int64_t size = 1;
  for (int d = 0; d < PyArray_NDIM(a); ++d) size *= PyArray_DIMS(a)[d];
  return itemsize * size;
}

nb::object dtype_object(engine::DType d) {
  return d == engine::DType::f32 ? Numpy::get().float32 : Numpy::get().float64;
}

std::vector<std::int64_t> shape_of(nb::handle array) {
  if (is_exact_ndarray(array)) {
    auto* a = reinterpret_cast<PyArrayObject*>(array.ptr());
    return std::vector<std::int64_t>(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a));
  }
  std::vector<std::int64_t> shape;
  for (nb::handle d : array.attr("shape")) shape.push_back(nb::cast<std::int64_t>(d));
  return shape;
}

nb::object shape_tuple(const std::vector<std::int64_t>& shape) {
  nb::list dims;
  for (std::int64_t d : shape) dims.append(d);
  return nb::tuple(dims);
}

std::int64_t element_count(const std::vector<std::int64_t>& shape) {
  std::int64_t n = 1;
  for (std::int64_t d : shape) n *= d;
  return n;
}

ArrayData::ArrayData(nb::handle array, bool writable) : owner_(nb::borrow(array)) {
  const int flags = PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(owner_.ptr(), &view_, flags) != 0) throw nb::python_error();
  if (writable || !misaligned(view_.buf, view_.itemsize)) return;
  PyBuffer_Release(&view_);
  owner_ = Numpy::get().require(owner_, "requirements"_a = "CA");
  if (PyObject_GetBuffer(owner_.ptr(), &view_, flags) != 0) throw nb::python_error();
}

ArrayData::~ArrayData() {
  PyBuffer_Release(&view_);
}

nb::object array_from_bytes(const void* bytes, const std::vector<std::int64_t>& shape,
                            engine::DType dtype) {
  nb::object array = Numpy::get().empty(shape_tuple(shape), dtype_object(dtype));
  ArrayData out(array, true);
  if (out.bytes() > 0) std::memcpy(out.data(), bytes, static_cast<std::size_t>(out.bytes()));
  return array;
}

}  // namespace zelka::host
