// What every host wrapper checks before it builds a view or launches
// anything: argument descriptors, element types and dimensions, devices,
// aliasing, extents and launch limits, and the small integers that callers
// pass in tensors.
#pragma once

#include <ATen/ATen.h>
#include <ATen/MemoryOverlap.h>

#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame.h"

namespace orvane {

// Every wrapper checks, before it builds a view or launches anything, what the
// host can see without waiting for the device. A failed check throws
// std::runtime_error (Python's RuntimeError) "<function>: <what is wrong>",
// naming the argument, what was expected and what was given. Nothing has been
// modified when a check fails.

inline std::string shape_str(at::IntArrayRef sizes) {
  std::ostringstream out;
  out << "[";
  for (size_t d = 0; d < sizes.size(); ++d) out << (d ? ", " : "") << sizes[d];
  out << "]";
  return out.str();
}

// Element types by the names Python users know them.
inline std::string dtype_name(at::ScalarType type) {
  switch (type) {
    case at::kFloat:
      return "float32";
    case at::kDouble:
      return "float64";
    case at::kInt:
      return "int32";
    case at::kLong:
      return "int64";
    case at::kByte:
      return "uint8";
    case at::kComplexFloat:
      return "complex64";
    case at::kComplexDouble:
      return "complex128";
    default:
      return c10::toString(type);
  }
}

class ArgCheck {
 public:
  explicit ArgCheck(const char* function) : fn_(function) {}

  [[noreturn]] void fail(const std::string& message) const {
    throw std::runtime_error(std::string(fn_) + ": " + message);
  }

  // Number of dimensions and element type, as the tensor's view needs them;
  // `meaning` describes the expected layout, e.g. "[B0, B1, NX, NY, NZ, B2]".
  void layout(const at::Tensor& t, const char* name, int64_t dims, at::ScalarType type,
              const char* meaning) const {
    if (t.dim() != dims) {
      std::ostringstream m;
      m << name << " must be a " << dims << "-D tensor " << meaning << ", got " << t.dim() << "-D "
        << shape_str(t.sizes()) << " (TensorAccessor expected " << dims << " dims but tensor has "
        << t.dim() << ")";
      fail(m.str());
    }
    if (t.scalar_type() != type) {
      std::ostringstream m;
      m << name << " must be " << dtype_name(type) << ", got " << dtype_name(t.scalar_type());
      fail(m.str());
    }
  }

  // The tensor lives on `device`, the device of `owner`.
  void device(const at::Tensor& t, const char* name, const at::Device& device,
              const char* owner) const {
    if (t.device() != device) {
      std::ostringstream m;
      m << name << " must be on " << device << " (the device of " << owner << "), got "
        << t.device();
      fail(m.str());
    }
  }

  // Each extent is at least the given one.
  void extents(const at::Tensor& t, const char* name, std::initializer_list<int64_t> at_least,
               const char* meaning) const {
    int64_t d = 0;
    for (const int64_t need : at_least) {
      if (t.size(d) < need) {
        std::ostringstream m;
        m << name << " must have extents at least " << shape_str(at::IntArrayRef(at_least)) << " "
          << meaning << ", got " << shape_str(t.sizes());
        fail(m.str());
      }
      ++d;
    }
  }

  // A grid or batch size, which kernels index in 16 bits.
  void size_limit(int64_t value, const char* what) const {
    if (value > kMaxExtent) {
      std::ostringstream m;
      m << what << " must be at most " << kMaxExtent << ", got " << value;
      fail(m.str());
    }
  }

  void launch_limits(int64_t B0, int64_t B1, int64_t B2, int64_t NX, int64_t NY, int64_t NZ) const {
    size_limit(B0, "batch size B0");
    size_limit(B1, "batch size B1");
    size_limit(B2, "batch size B2");
    size_limit(NX, "grid size NX");
    size_limit(NY, "grid size NY");
    size_limit(NZ, "grid size NZ");
    if (B0 * B1 * B2 > kMaxBatches) {
      std::ostringstream m;
      m << "the number of batch entries B0*B1*B2 must be at most " << kMaxBatches << ", got "
        << B0 * B1 * B2;
      fail(m.str());
    }
    if (NX * NY * NZ > kMaxCells) {
      std::ostringstream m;
      m << "the number of cells NX*NY*NZ must be at most " << kMaxCells << ", got " << NX * NY * NZ;
      fail(m.str());
    }
  }

  // A thread-grid launch: `threads` ids (plus the last block's surplus) fit
  // a signed 32-bit id and `rows` fits the launch grid's y.
  void thread_limits(int64_t threads, const char* threads_what, int64_t rows,
                     const char* rows_what) const {
    if (threads > kMaxCells) {
      std::ostringstream m;
      m << threads_what << " must be at most " << kMaxCells << ", got " << threads;
      fail(m.str());
    }
    if (rows > kMaxBatches) {
      std::ostringstream m;
      m << rows_what << " must be at most " << kMaxBatches << ", got " << rows;
      fail(m.str());
    }
  }

 private:
  const char* fn_;
};

// One tensor argument of a wrapper: what its view needs and whether the call
// writes it.
struct TensorArg {
  const at::Tensor& t;
  const char* name;
  int64_t dims;
  at::ScalarType type;
  const char* layout;
  bool written;
};

inline TensorArg field_arg(const at::Tensor& t, const char* name, bool written) {
  return {t, name, 6, at::kFloat, "[B0, B1, X, Y, Z, B2]", written};
}
inline TensorArg aux_arg(const at::Tensor& t, const char* name) {
  return {t, name, 7, at::kFloat, "[B0, B1, X, Y, Z, 2, B2]", true};
}
inline TensorArg grid_arg(const at::Tensor& t, const char* name) {
  return {t, name, 4, at::kFloat, "[B1, NX, NY, NZ]", false};
}
inline TensorArg vec_arg(const at::Tensor& t, const char* name) {
  return {t, name, 1, at::kFloat, "[N]", false};
}
inline TensorArg layer_cells_arg(const at::Tensor& t) {
  return {t, "layer_cells", 1, at::kInt, "[3]", false};
}
inline TensorArg complex_arg(const at::Tensor& t, const char* name, int64_t dims,
                             const char* layout, bool written = false) {
  return {t, name, dims, at::kComplexFloat, layout, written};
}

// What the host can check of a wrapper's tensor arguments before any size is
// read: element types and dimensions (the last faulty argument is reported,
// as the views are built last argument first), then devices: all on the
// backend's device, the one that holds `owner`.
template <class L>
void check_arguments(const ArgCheck& check, c10::ArrayRef<TensorArg> args, const TensorArg& owner) {
  for (auto a = args.rbegin(); a != args.rend(); ++a)
    check.layout(a->t, a->name, a->dims, a->type, a->layout);
  if (!L::on_device(owner.t))
    check.fail(std::string(owner.name) + " must be a " + L::kDevice + " tensor, got one on " +
               owner.t.device().str());
  for (const auto& a : args) check.device(a.t, a.name, owner.t.device(), owner.name);
}

// No tensor the call writes may store two elements in one place or share
// memory with another argument: threads would race, and the kernels' views
// promise the compiler that they never alias.
inline void check_no_aliasing(const ArgCheck& check, c10::ArrayRef<TensorArg> args) {
  for (const auto& w : args) {
    if (!w.written) continue;
    if (at::has_internal_overlap(w.t) == at::MemOverlap::Yes)
      check.fail(std::string(w.name) +
                 " is written, so no two of its elements may share memory (expanded or "
                 "stride-0 tensors are not allowed)");
    for (const auto& o : args) {
      if (&o == &w) continue;
      const auto status = at::get_overlap_status(w.t, o.t);
      if (status == at::MemOverlapStatus::Full || status == at::MemOverlapStatus::Partial)
        check.fail(std::string(w.name) + " is written, so it must not share memory with " + o.name);
    }
  }
}

// Grid and batch sizes, read from the electric components, with all six
// components checked against their staggered extents and the sizes against
// the launch limits.
struct FieldSizes {
  int64_t B0, B1, B2, NX, NY, NZ;
};

// Grid and batch sizes from the three electric components alone (for the passes
// that read no magnetic field), each checked against its staggered extents.
inline FieldSizes electric_sizes(const ArgCheck& check, const at::Tensor& Ex, const at::Tensor& Ey,
                                 const at::Tensor& Ez) {
  const FieldSizes s{Ex.size(0), Ex.size(1), Ex.size(5), Ex.size(2), Ey.size(3), Ez.size(4)};
  check.extents(Ex, "Ex", {s.B0, s.B1, s.NX, s.NY + 1, s.NZ + 1, s.B2},
                "[B0, B1, NX, NY+1, NZ+1, B2]");
  check.extents(Ey, "Ey", {s.B0, s.B1, s.NX + 1, s.NY, s.NZ + 1, s.B2},
                "[B0, B1, NX+1, NY, NZ+1, B2]");
  check.extents(Ez, "Ez", {s.B0, s.B1, s.NX + 1, s.NY + 1, s.NZ, s.B2},
                "[B0, B1, NX+1, NY+1, NZ, B2]");
  check.launch_limits(s.B0, s.B1, s.B2, s.NX, s.NY, s.NZ);
  return s;
}

// The same, with the three magnetic components checked against the cells.
inline FieldSizes field_sizes(const ArgCheck& check, const at::Tensor& Ex, const at::Tensor& Ey,
                              const at::Tensor& Ez, const at::Tensor& Hx, const at::Tensor& Hy,
                              const at::Tensor& Hz) {
  const FieldSizes s = electric_sizes(check, Ex, Ey, Ez);
  for (const auto& [h, name] :
       {std::pair<const at::Tensor*, const char*>{&Hx, "Hx"}, {&Hy, "Hy"}, {&Hz, "Hz"}})
    check.extents(*h, name, {s.B0, s.B1, s.NX, s.NY, s.NZ, s.B2}, "[B0, B1, NX, NY, NZ, B2]");
  return s;
}

inline CellLaunch cell_launch(const FieldSizes& s) {
  return {int32_t(s.NX), int32_t(s.NY), int32_t(s.NZ), int32_t(s.B0), int32_t(s.B1), int32_t(s.B2)};
}

// CUDA availability, first of all checks (the CPU twin is always available).
template <class L>
void require_available(const ArgCheck& check) {
  if (!L::available()) check.fail("CUDA not available.");
}

// The fixed messages of the functions that keep them as they stand, without
// the function's name: `message` when CUDA is unavailable, and
// `prefix` + "Tensor is not on GPU." (CPU in the CPU twin) for a tensor on
// another device.
template <class L>
void require_available_fixed(const char* message) {
  if (!L::available()) throw std::runtime_error(message);
}

template <class L>
void require_on_processor_fixed(const at::Tensor& t, const char* prefix) {
  if (!L::on_device(t))
    throw std::runtime_error(std::string(prefix) + "Tensor is not on " + L::kProcessor + ".");
}

// Small integers that callers pass in a tensor (margins, offsets, ranges):
// the first `count` entries of `t`, any integer or floating dtype (converted
// as by a C cast), on the CPU or on `device` (the device of `owner`). Read
// in one transfer, which waits for the device when `t` lives there. Each
// value must lie in the 32-bit range the kernels hold indices in: that keeps
// every sum the wrappers form of them exact, and it refuses the NaN,
// infinite or huge reals that no C cast could convert.
inline std::vector<int64_t> host_ints(const ArgCheck& check, const at::Tensor& t, const char* name,
                                      int64_t count, const at::Device& device, const char* owner) {
  if (!(at::isIntegralType(t.scalar_type(), /*includeBool=*/false) ||
        at::isFloatingType(t.scalar_type())))
    check.fail(std::string(name) + " must hold integers or reals, got " +
               dtype_name(t.scalar_type()));
  if (!t.device().is_cpu() && t.device() != device) {
    std::ostringstream m;
    m << name << " must be on the CPU or on " << device << " (the device of " << owner << "), got "
      << t.device();
    check.fail(m.str());
  }
  if (t.numel() < count) {
    std::ostringstream m;
    m << name << " must have at least " << count << " entries, got " << t.numel();
    check.fail(m.str());
  }
  // Entries in index order, whatever the strides: a strided view's first
  // `count` entries, never its storage's.
  const at::Tensor values =
      t.reshape(-1).slice(0, 0, count).to(at::kCPU).to(at::kDouble).contiguous();
  const double* p = values.data_ptr<double>();
  std::vector<int64_t> out(count);
  for (int64_t e = 0; e < count; ++e) {
    if (!(p[e] >= double(INT32_MIN) && p[e] <= double(INT32_MAX))) {
      std::ostringstream m;
      m << name << " must hold integers within the 32-bit range [" << INT32_MIN << ", " << INT32_MAX
        << "], got " << p[e] << " at entry " << e;
      check.fail(m.str());
    }
    out[e] = static_cast<int64_t>(p[e]);
  }
  return out;
}

// A complex tensor whose conjugate or negative bit is set reads differently
// from its storage, which is all a kernel sees. Inputs are read through a
// resolved copy (`resolved`); a tensor the call writes cannot be, so it is
// refused.
inline void check_plain_complex(const ArgCheck& check, const at::Tensor& t, const char* name) {
  if (t.is_conj() || t.is_neg())
    check.fail(std::string(name) +
               " is a lazily conjugated or negated view; pass a resolved tensor "
               "(resolve_conj(), resolve_neg())");
}

inline at::Tensor resolved(const at::Tensor& t) { return t.resolve_conj().resolve_neg(); }

// ------------------------------------------------------- choice of layout

// Whether 32-bit offsets reach every element of t: no negative stride and
// the last element at most INT32_MAX elements past the first (a tensor
// without elements has none to reach).
inline bool fits_compact(const at::Tensor& t) {
  int64_t last = 0;
  for (int64_t d = 0; d < t.dim(); ++d)
    if (t.size(d) == 0) return true;
  for (int64_t d = 0; d < t.dim(); ++d) {
    const int64_t size = t.size(d), stride = t.stride(d);
    if (stride < 0 || stride > INT32_MAX || size > INT32_MAX) return false;
    last += (size - 1) * stride;  // below 2^62 + INT32_MAX: no overflow
    if (last > INT32_MAX) return false;
  }
  return true;
}

inline bool fits_compact(c10::ArrayRef<TensorArg> args) {
  for (const auto& a : args)
    if (!fits_compact(a.t)) return false;
  return true;
}

// Which layout the calls take, from ORVANE_LAYOUT (read once, at the first
// call): `auto` (or unset) the compact one wherever the tensors allow it,
// `strided` always the general one, so that the two can be compared, and
// `compact` the compact one or a failed call, so that a benchmark knows what
// it measures.
enum class LayoutMode { automatic, strided, compact, unknown };

struct LayoutSetting {
  LayoutMode mode;
  std::string value;
};

inline const LayoutSetting& layout_setting() {
  static const LayoutSetting setting = [] {
    const char* v = std::getenv("ORVANE_LAYOUT");
    const std::string value = v ? v : "";
    if (value.empty() || value == "auto") return LayoutSetting{LayoutMode::automatic, value};
    if (value == "strided") return LayoutSetting{LayoutMode::strided, value};
    if (value == "compact") return LayoutSetting{LayoutMode::compact, value};
    return LayoutSetting{LayoutMode::unknown, value};
  }();
  return setting;
}

// Launches the kernel that make(layout) builds: its compact instantiation
// where every tensor of the call fits 32-bit offsets (`fits`) and has the
// strides the kernel's compact layout declares, else the general one. The
// body is the same, so are the results, bit for bit.
template <class Make, class Launch>
void with_layout(const ArgCheck& check, bool fits, const Make& make, const Launch& launch) {
  const LayoutMode mode = layout_setting().mode;
  if (mode == LayoutMode::unknown)
    check.fail("ORVANE_LAYOUT must be auto, strided or compact, got '" + layout_setting().value +
               "'");
  if (mode != LayoutMode::strided && fits) {
    auto kernel = make(Compact{});
    CompactProbe probe;
    kernel.compact_layout(probe);
    if (probe.all) {
      launch(kernel);
      return;
    }
  }
  if (mode == LayoutMode::compact)
    check.fail(
        "ORVANE_LAYOUT=compact, but the tensors do not all have the compact layout "
        "(contiguous, with the extents the call needs, each under 2^31 elements)");
  launch(make(Strided{}));
}

}  // namespace orvane
