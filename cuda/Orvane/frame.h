// The launch frame: what every kernel and every host wrapper of Orvane shares.
//
// Grid and fields. The solver works on a staggered (Yee) grid of NX x NY x NZ
// cells. Each of the six field components is its own 6-D float32 tensor
// indexed [b0, b1, i, j, k, b2]: two leading batch dimensions, the three
// spatial ones, one trailing batch dimension. The sizes are read from the
// electric components, each along its own axis: NX = Ex.size(2),
// NY = Ey.size(3), NZ = Ez.size(4), and B0, B1, B2 = Ex sizes 0, 1, 5.
// An electric component has N cells along its own axis and N + 1 nodes along
// the two others (Ex is [.., NX, NY+1, NZ+1, ..]); the magnetic components
// cover NX x NY x NZ. The nodes at index N belong to the caller: the magnetic
// update reads them, the electric update never writes them.
//
// Per-node material grids (coefficient grids, material ids and weights) are
// 4-D [b1, i, j, k]: they follow the middle batch dimension only and are
// shared by every b0 and b2.
//
// Split-complex storage. Where a field holds a complex quantity in real form,
// the trailing batch dimension is split in two halves of BC = B2 / 2 slots:
// slot bc holds the real part and slot BC + bc the imaginary part of complex
// entry bc.
//
// Views. A kernel never sees a tensor, only a View: data pointer, sizes and
// strides, all indexing through the strides, so slices and permutations work
// without copies. Kernels trust the integer sizes they are given; it is the
// host wrapper's job (see ArgCheck) to make sure every view is at least as
// large as those sizes say, so that no input can make a kernel step outside
// its tensors.
//
// Cells and threads. Cell kernels run one thread per cell and batch entry.
// On the GPU a thread finds its cell from its linear id over blocks of 256
// along x (z varies fastest, then y, then x) and its batch entry from
// blockIdx.y; indices are held in 16 bits, which is why every grid and batch
// size must stay below 65536. On the CPU the launcher walks the same cells
// directly. Either way the per-cell body, written once as a member function
// `cell(Cell16, Batch16)` of a kernel's argument struct, is what runs.
#pragma once

#include <ATen/ATen.h>
#include <ATen/MemoryOverlap.h>
#include <ATen/Parallel.h>

#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>

#ifdef __CUDACC__
#include <ATen/cuda/CUDAContextLight.h>
#include <c10/cuda/CUDAGuard.h>
#include <cuda_runtime.h>
#define ORV_HD __host__ __device__
#define ORV_FORCE_INLINE __forceinline__
#else
#define ORV_HD
#define ORV_FORCE_INLINE inline __attribute__((always_inline))
#endif

namespace orvane {

// ---------------------------------------------------------------- views

// Restrict-qualified data pointer: the tensors of one call never overlap where
// the call writes (the wrappers check it). PyTorch only offers these traits
// to device compilers; the host twin needs them too.
template <typename T>
struct RestrictPtrTraits {
  typedef T* __restrict__ PtrType;
};

template <typename T, size_t N>
using View = at::GenericPackedTensorAccessor<T, N, RestrictPtrTraits, uint64_t>;

using Field = View<float, 6>;  // [B0, B1, X, Y, Z, B2]
using Aux = View<float, 7>;    // [B0, B1, X, Y, Z, 2, B2]
using Grid = View<float, 4>;   // [B1, NX, NY, NZ]
using Vec = View<float, 1>;
using IntVec = View<int32_t, 1>;

template <typename T, size_t N>
View<T, N> view(const at::Tensor& t) {
  return t.generic_packed_accessor<T, N, RestrictPtrTraits, uint64_t>();
}

// Index and offset arithmetic is unsigned 64-bit, wrapping, so a negative
// stride still lands where the tensor means.
ORV_HD inline uint64_t u64(int64_t v) { return static_cast<uint64_t>(v); }

// ------------------------------------------------- cells and batch entries

struct Cell16 {
  uint16_t i, j, k;
};

struct Batch16 {
  uint16_t b0, b1, b2;
};

// GPU thread to cell: split the linear thread id with signed 32-bit division
// (z fastest), keep each index modulo 65536, and report whether the cell lies
// inside the grid (the surplus threads of the last block do not).
ORV_HD inline bool cell16_from_id(int32_t id, int32_t NX, int32_t NY, int32_t NZ, Cell16& c) {
  const int32_t plane = NY * NZ;
  const int32_t i = id / plane;
  const int32_t j = (id - i * plane) / NZ;
  const int32_t k = id % NZ;
  c.i = static_cast<uint16_t>(i);
  c.j = static_cast<uint16_t>(j);
  c.k = static_cast<uint16_t>(k);
  return c.i < NX && c.j < NY && c.k < NZ;
}

// Launch-grid y coordinate to batch entry, in unsigned 32-bit arithmetic,
// each index kept modulo 65536.
ORV_HD inline Batch16 batch16_from_y(uint32_t y, uint32_t B1, uint32_t B2) {
  Batch16 b;
  b.b0 = static_cast<uint16_t>(y / (B1 * B2));
  b.b1 = static_cast<uint16_t>((y / B2) % B1);
  b.b2 = static_cast<uint16_t>(y - (y / B2) * B2);
  return b;
}

// Element (i, j, k) of batch entry b of a field tensor.
ORV_HD inline float& elem(const Field& v, const Batch16& b, int64_t i, int64_t j, int64_t k) {
  return v.data()[b.b0 * v.stride(0) + b.b1 * v.stride(1) + u64(i) * v.stride(2) +
                  u64(j) * v.stride(3) + u64(k) * v.stride(4) + b.b2 * v.stride(5)];
}

// Component c at (i, j, k) of batch entry b of an absorbing-layer auxiliary.
ORV_HD inline float& elem(const Aux& v, const Batch16& b, int64_t i, int64_t j, int64_t k,
                          int64_t c) {
  return v.data()[b.b0 * v.stride(0) + b.b1 * v.stride(1) + u64(i) * v.stride(2) +
                  u64(j) * v.stride(3) + u64(k) * v.stride(4) + u64(c) * v.stride(5) +
                  b.b2 * v.stride(6)];
}

// Node (i, j, k) of material grid slice b1.
ORV_HD inline float elem(const Grid& v, uint16_t b1, int64_t i, int64_t j, int64_t k) {
  return v.data()[b1 * v.stride(0) + u64(i) * v.stride(1) + u64(j) * v.stride(2) +
                  u64(k) * v.stride(3)];
}

template <typename T>
ORV_HD inline T elem(const View<T, 1>& v, int64_t i) {
  return v.data()[u64(i) * v.stride(0)];
}

// Fused multiply-add a*b + c, one rounding, on both backends.
ORV_HD inline float fused(float a, float b, float c) {
#ifdef __CUDA_ARCH__
  return __fmaf_rn(a, b, c);
#else
  return std::fma(a, b, c);
#endif
}

// ------------------------------------------------------- launch geometry

constexpr int kBlock = 256;

// Limits that keep the 16-bit cell and batch indices and the launch grid
// exact. Beyond them a kernel would silently wrap onto the wrong cells.
constexpr int64_t kMaxExtent = 65535;                    // each grid and batch size
constexpr int64_t kMaxBatches = 65535;                   // B0*B1*B2, the launch grid's y limit
constexpr int64_t kMaxCells = INT32_MAX - (kBlock - 1);  // NX*NY*NZ + 255 fits int32

// Launch of a kernel over the NX x NY x NZ cells of every batch entry.
struct CellLaunch {
  int32_t NX, NY, NZ;
  int32_t B0, B1, B2;

  int64_t cells() const { return int64_t(NX) * NY * NZ; }
  int64_t batches() const { return int64_t(B0) * B1 * B2; }
  bool empty() const { return cells() == 0 || batches() == 0; }
  // grid.x, in signed 32-bit arithmetic (the limits above keep it exact).
  int32_t blocks() const { return (NX * NY * NZ + (kBlock - 1)) / kBlock; }
};

// --------------------------------------------------------------- checks
//
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

 private:
  const char* fn_;
};

// ------------------------------------------------------------- launchers
//
// A launcher runs a kernel's per-cell body over a launch. Host wrappers are
// written once as templates over the launcher; the GPU launcher queues the
// named __global__ kernel, the CPU launcher walks the cells on all cores.

struct CpuLauncher {
  static constexpr const char* kDevice = "cpu";

  static void require_available(const ArgCheck&) {}
  static bool on_device(const at::Tensor& t) { return t.device().is_cpu(); }

  struct DeviceScope {
    explicit DeviceScope(const at::Device&) {}
  };

  // Innermost axis (z) last; (batch entry, i) rows shared out between threads.
  template <class Kernel>
  static void cells16(const char* /*function*/, const CellLaunch& g, const Kernel& kernel) {
    if (g.empty()) return;
    const int64_t rows = g.batches() * g.NX;
    const int64_t row_cells = int64_t(g.NY) * g.NZ;
    const int64_t grain = std::max<int64_t>(1, 16384 / std::max<int64_t>(1, row_cells));
    at::parallel_for(0, rows, grain, [&](int64_t begin, int64_t end) {
      // A thread's own copy of the views: the compiler then keeps their
      // pointers and strides in registers instead of reloading them after
      // every store (about a fifth faster).
      const Kernel local = kernel;
      for (int64_t r = begin; r < end; ++r) {
        const Batch16 b = batch16_from_y(uint32_t(r / g.NX), uint32_t(g.B1), uint32_t(g.B2));
        Cell16 c;
        c.i = uint16_t(r % g.NX);
        for (int32_t j = 0; j < g.NY; ++j) {
          c.j = uint16_t(j);
          for (int32_t k = 0; k < g.NZ; ++k) {
            c.k = uint16_t(k);
            local.cell(c, b);
          }
        }
      }
    });
  }
};

#ifdef __CUDACC__

// Body of every 16-bit cell kernel: decode the thread's cell and batch entry,
// drop the surplus threads, run the cell.
template <class Kernel>
__device__ __forceinline__ void run_cell16_thread(const Kernel& kernel) {
  Cell16 c;
  const int32_t id = int32_t(blockIdx.x) * int32_t(blockDim.x) + int32_t(threadIdx.x);
  if (!cell16_from_id(id, kernel.NX, kernel.NY, kernel.NZ, c)) return;
  kernel.cell(c, batch16_from_y(blockIdx.y, uint32_t(kernel.B1), uint32_t(kernel.B2)));
}

// A __global__ function and its name, for error messages.
template <class Kernel>
struct GpuKernel {
  void (*fn)(Kernel);
  const char* name;
};

// The launch status, read right after the launch without waiting for the
// device (a bad configuration or a missing device shows up here).
inline void check_launch(const char* function, const char* kernel) {
  const cudaError_t status = cudaGetLastError();
  if (status != cudaSuccess)
    throw std::runtime_error(std::string(function) + ": launch of " + kernel +
                             " failed: " + cudaGetErrorString(status));
}

struct GpuLauncher {
  static constexpr const char* kDevice = "cuda";

  static void require_available(const ArgCheck& check) {
    if (!at::cuda::is_available()) check.fail("CUDA not available.");
  }
  static bool on_device(const at::Tensor& t) { return t.device().is_cuda(); }

  // Kernels run on the device that holds the fields, whatever the current one.
  using DeviceScope = c10::cuda::CUDAGuard;

  // `gpu_kernel(kernel)` names the __global__ function of a kernel struct;
  // each subsystem header declares one overload per kernel.
  template <class Kernel>
  static void cells16(const char* function, const CellLaunch& g, const Kernel& kernel) {
    if (g.empty()) return;
    const auto entry = gpu_kernel(kernel);
    entry.fn<<<dim3(uint32_t(g.blocks()), uint32_t(g.batches()), 1), dim3(kBlock, 1, 1), 0, 0>>>(
        kernel);
    check_launch(function, entry.name);
  }
};

#endif  // __CUDACC__

}  // namespace orvane
