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
// host wrapper's job (see args.h) to make sure every view is at least as
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
#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__x86_64__) && !defined(__CUDACC__)
#include <xmmintrin.h>
#endif

#ifdef __CUDACC__
#include <ATen/cuda/CUDAContextLight.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>
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

// What a read-only view returns on the device: the element read through the
// read-only data path (the non-coherent cache); on the host, a plain read.
template <typename T>
ORV_HD ORV_FORCE_INLINE T read_only(const T* p) {
#ifdef __CUDA_ARCH__
  if constexpr (std::is_same_v<T, c10::complex<float>>) {
    const float2 v = __ldg(reinterpret_cast<const float2*>(p));
    return T(v.x, v.y);
  } else {
    return __ldg(p);
  }
#else
  return *p;
#endif
}

// The general view: any strides (negative ones included), 64-bit offsets.
// Built from a tensor whose element type and dimensions the wrapper has
// checked.
template <typename T, size_t N>
struct View : at::GenericPackedTensorAccessor<T, N, RestrictPtrTraits, uint64_t> {
  using Accessor = at::GenericPackedTensorAccessor<T, N, RestrictPtrTraits, uint64_t>;
  using index_t = uint64_t;  // offsets wrap modulo 2^64
  static constexpr size_t rank = N;

  View(const Accessor& a) : Accessor(a) {}  // NOLINT: views are built from accessors
  View(const at::Tensor& t)                 // NOLINT: and from the tensors they view
      : Accessor(t.generic_packed_accessor<T, N, RestrictPtrTraits, uint64_t>()) {}

  ORV_HD ORV_FORCE_INLINE T& item(uint64_t offset) const { return this->data()[offset]; }

  // The CPU walker's layout specialisation (see CpuLauncher): a stride that
  // the tensor is known to have, stored again as a constant into a kernel's
  // private copy, so that the compiler sees it and can vectorise along z.
  ORV_HD void pin_stride(size_t d, uint64_t s) { this->strides_[d] = s; }
};

// The compact view, for tensors whose every element lies within 2^31
// elements past the first, through non-negative strides (the host checks
// it, see with_layout in args.h): offsets in 32-bit arithmetic, a single
// multiply-add per index on the GPU where the general view needs a 64-bit
// product. A view of const elements is read-only, and on the device it reads
// through the read-only data path.
template <typename T, size_t N>
struct Dense {
  // Offsets are 32-bit on the device; the host computes them in 64 bits,
  // which changes no offset (all are below 2^31) and lets the CPU walker
  // vectorise its rows (a 32-bit offset may wrap, for all the compiler
  // knows, so consecutive cells need not be consecutive in memory).
#ifdef __CUDA_ARCH__
  using index_t = uint32_t;
#else
  using index_t = uint64_t;
#endif
  static constexpr size_t rank = N;

  T* __restrict__ data_;
  uint32_t strides_[N];
  uint32_t sizes_[N];

  Dense() = default;
  Dense(const at::Tensor& t)  // NOLINT: views are built from the tensors they view
      : data_(t.data_ptr<std::remove_const_t<T>>()) {
    for (size_t d = 0; d < N; ++d) {
      strides_[d] = uint32_t(t.stride(int64_t(d)));
      sizes_[d] = uint32_t(t.size(int64_t(d)));
    }
  }

  ORV_HD T* data() const { return data_; }
  ORV_HD uint32_t stride(size_t d) const { return strides_[d]; }
  ORV_HD uint32_t size(size_t d) const { return sizes_[d]; }
  ORV_HD void pin_stride(size_t d, uint64_t s) { strides_[d] = uint32_t(s); }

  // A reference to a writable element, the value of a read-only one.
  ORV_HD ORV_FORCE_INLINE decltype(auto) item(index_t offset) const {
    if constexpr (std::is_const_v<T>)
      return read_only(data_ + offset);
    else
      return (data_[offset]);
  }
};

// The general views of the kernels that have no compact instantiation.
using Field = View<float, 6>;  // [B0, B1, X, Y, Z, B2]
using Aux = View<float, 7>;    // [B0, B1, X, Y, Z, 2, B2]
using Grid = View<float, 4>;   // [B1, NX, NY, NZ]
using Vec = View<float, 1>;
using IntVec = View<int32_t, 1>;

template <typename T, size_t N>
View<T, N> view(const at::Tensor& t) {
  return t.generic_packed_accessor<T, N, RestrictPtrTraits, uint64_t>();
}

// ---------------------------------------------------------------- layouts
//
// How a kernel's views address their tensors. A kernel struct takes its
// layout as a template argument and declares its tensors as Out (written)
// or In (only read); its body is the same for every layout. The host picks
// the layout per call (with_layout, args.h).
//   Strided: the general views, for every input.
//   Compact: 32-bit offsets and read-only loads, where every tensor of the
//            call fits them (the contiguous tensors the driver makes do).
struct Strided {
  template <typename T, size_t N>
  using Out = View<T, N>;
  template <typename T, size_t N>
  using In = View<T, N>;
};

struct Compact {
  template <typename T, size_t N>
  using Out = Dense<T, N>;
  template <typename T, size_t N>
  using In = Dense<const T, N>;
};

// A kernel with a compact instantiation declares, in
// `compact_layout(f)`, the strides each of its tensors has when it is
// contiguous with the extents the launch needs, as f(view, dim, stride)
// with strides computed from the kernel's sizes (see `contiguous`). The
// host takes the compact instantiation only where every tensor has those
// strides (CompactProbe); the launchers then store them into the thread's
// copy of the kernel (pin_compact), so that the compiler sees tensors of one
// shape share their offsets and finds a neighbour one constant stride away.
template <class K, class = void>
struct compact_kernel : std::false_type {};
template <class K>
struct compact_kernel<K, std::void_t<typename K::layout>>
    : std::is_same<typename K::layout, Compact> {};

// Stores a stride into a view of a kernel's private copy.
struct StridePin {
  template <class V>
  ORV_HD ORV_FORCE_INLINE void operator()(V& v, size_t d, uint64_t s) const {
    v.pin_stride(d, s);
  }
};

// Whether every view has the strides declared (a dimension of one entry
// has any: its index is always 0).
struct CompactProbe {
  bool all = true;
  template <class V>
  void operator()(const V& v, size_t d, uint64_t s) {
    all = all && (v.size(d) <= 1 || uint64_t(v.stride(d)) == s);
  }
};

template <class K>
ORV_HD ORV_FORCE_INLINE void pin_compact(K& kernel) {
  if constexpr (compact_kernel<K>::value) kernel.compact_layout(StridePin{});
}

// f(v, d, stride) for every dimension d of each view v, with the strides of
// a contiguous tensor whose dimensions after the first have the sizes
// `inner` (the first dimension's size changes no stride).
template <class F, size_t M, class... Views>
ORV_HD ORV_FORCE_INLINE void contiguous(F& f, const int32_t (&inner)[M], Views&... views) {
  static_assert(((M + 1 == Views::rank) && ...), "one size per dimension after the first");
  uint32_t strides[M + 1];
  strides[M] = 1;
  for (size_t d = M; d-- > 0;) strides[d] = strides[d + 1] * uint32_t(inner[d]);
  for (size_t d = 0; d <= M; ++d) (f(views, d, strides[d]), ...);
}

// The same for vectors: unit strides.
template <class F, class... Vectors>
ORV_HD ORV_FORCE_INLINE void contiguous(F& f, Vectors&... vectors) {
  static_assert(((Vectors::rank == 1) && ...), "vectors");
  (f(vectors, 0, 1), ...);
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
// inside the grid (the surplus threads of the last block do not). A launch
// has ids from 0 and sizes of at least 1, where signed and unsigned division
// agree; the unsigned form is the shorter one, and k is the remainder that
// the division for j leaves.
ORV_HD inline bool cell16_from_id(int32_t id, int32_t NX, int32_t NY, int32_t NZ, Cell16& c) {
  const uint32_t plane = uint32_t(NY) * uint32_t(NZ);
  const uint32_t i = uint32_t(id) / plane;
  const uint32_t in_plane = uint32_t(id) - i * plane;
  const uint32_t j = in_plane / uint32_t(NZ);
  const uint32_t k = in_plane - j * uint32_t(NZ);
  c.i = static_cast<uint16_t>(i);
  c.j = static_cast<uint16_t>(j);
  c.k = static_cast<uint16_t>(k);
  return c.i < NX && c.j < NY && c.k < NZ;
}

// Launch-grid y coordinate to batch entry, in unsigned 32-bit arithmetic,
// each index kept modulo 65536: b0 = y / (B1·B2), b1 = (y / B2) mod B1,
// b2 = y mod B2, in two divisions (y / (B1·B2) is (y / B2) / B1).
ORV_HD inline Batch16 batch16_from_y(uint32_t y, uint32_t B1, uint32_t B2) {
  const uint32_t row = y / B2;  // b0·B1 + b1
  const uint32_t b0 = row / B1;
  Batch16 b;
  b.b0 = static_cast<uint16_t>(b0);
  b.b1 = static_cast<uint16_t>(row - b0 * B1);
  b.b2 = static_cast<uint16_t>(y - row * B2);
  return b;
}

// Unsigned division by a launch constant d, 1 <= d <= 2^31, as a
// multiply-high and a shift, exact for every dividend n < 2^31 (thread ids
// and launch-grid rows are): with s = ceil(log2 d) and m = ceil(2^(31+s) / d),
// which fits 32 bits, n·m / 2^(31+s) exceeds n / d by less than 1/d, so
// both have the same integer part. A GPU division by a value it does not
// know takes about fifteen instructions; this takes three.
struct Divisor {
  uint32_t magic, shift;

  Divisor() = default;
  explicit Divisor(uint32_t d) : shift(0) {
    if (d == 0) d = 1;  // (no launch divides by zero: empty ones never start)
    while (shift < 31 && (uint32_t(1) << shift) < d) ++shift;
    magic = uint32_t(((uint64_t(1) << (31 + shift)) + d - 1) / d);
  }

  ORV_HD ORV_FORCE_INLINE uint32_t divide(uint32_t n) const {
#ifdef __CUDA_ARCH__
    return __umulhi(n << 1, magic) >> shift;
#else
    return uint32_t((uint64_t(n << 1) * magic) >> 32) >> shift;
#endif
  }
};

// What a cell kernel's threads need to find their cell and batch entry: the
// sizes, with divisors for those they divide by, built on the host once per
// launch. The results are those of cell16_from_id and batch16_from_y.
struct CellDecode {
  int32_t NX, NY, NZ;
  uint32_t B1, B2;
  Divisor plane, nz, b1, b2;  // by NY·NZ, NZ, B1, B2

  ORV_HD ORV_FORCE_INLINE bool cell(int32_t id, Cell16& c) const {
    const uint32_t i = plane.divide(uint32_t(id));
    const uint32_t in_plane = uint32_t(id) - i * (uint32_t(NY) * uint32_t(NZ));
    const uint32_t j = nz.divide(in_plane);
    c.i = static_cast<uint16_t>(i);
    c.j = static_cast<uint16_t>(j);
    c.k = static_cast<uint16_t>(in_plane - j * uint32_t(NZ));
    return c.i < NX && c.j < NY && c.k < NZ;
  }

  ORV_HD ORV_FORCE_INLINE Batch16 batch(uint32_t y) const {
    const uint32_t row = b2.divide(y);  // b0·B1 + b1
    const uint32_t b0 = b1.divide(row);
    return {static_cast<uint16_t>(b0), static_cast<uint16_t>(row - b0 * B1),
            static_cast<uint16_t>(y - row * B2)};
  }
};

// Plane kernels (injection planes, periodic ghost faces): a linear thread id
// split over rows `inner` positions wide, with signed 32-bit division
// (inner index fastest), each index kept modulo 65536. The kernel applies its
// own bounds, which differ from plane to plane.
struct Plane16 {
  uint16_t p, q;  // outer, inner
};

ORV_HD inline Plane16 plane16_from_id(int32_t id, int32_t inner) {
  const int32_t p = id / inner;
  return {static_cast<uint16_t>(p), static_cast<uint16_t>(id - p * inner)};
}

// Cells and batch entries with full 32-bit indices, for the kernels that
// take no 16-bit narrowing (monitor, material preparation, interpolation).
struct Cell32 {
  int32_t i, j, k;
};

struct Batch32 {
  uint32_t b0, b1, b2;
};

// Linear thread id to (i, j, k) over an X x Y x Z box, z fastest, in signed
// 32-bit arithmetic; reports whether the cell lies inside the box.
ORV_HD inline bool cell32_from_id(int32_t id, int32_t X, int32_t Y, int32_t Z, Cell32& c) {
  const int32_t plane = Y * Z;
  c.i = id / plane;
  c.j = (id - c.i * plane) / Z;
  c.k = id % Z;
  return c.i < X && c.j < Y && c.k < Z;
}

// Launch-grid y coordinate to (b0, b1, b2) with inner sizes B1 and B2
// (unsigned 32-bit arithmetic, no narrowing).
ORV_HD inline Batch32 batch32_from_y(uint32_t y, uint32_t B1, uint32_t B2) {
  return {y / (B1 * B2), (y / B2) % B1, y - (y / B2) * B2};
}

// What indexing a view gives: a reference to a writable element, the value
// of a read-only one.
template <class V>
using Ref = decltype(std::declval<const V&>().item(0));
template <class V>
using Value = std::remove_cv_t<std::remove_reference_t<Ref<V>>>;

// Element (i, j, k) of batch entry b of a field tensor [B0, B1, X, Y, Z, B2].
// Offsets are computed in the view's own index type.
template <class V, std::enable_if_t<V::rank == 6, int> = 0>
ORV_HD ORV_FORCE_INLINE Ref<V> elem(const V& v, const Batch16& b, int64_t i, int64_t j,
                                    int64_t k) {
  using I = typename V::index_t;
  return v.item(I(b.b0) * v.stride(0) + I(b.b1) * v.stride(1) + I(i) * v.stride(2) +
                I(j) * v.stride(3) + I(k) * v.stride(4) + I(b.b2) * v.stride(5));
}

// Component c at (i, j, k) of batch entry b of an absorbing-layer auxiliary
// [B0, B1, X, Y, Z, 2, B2].
template <class V, std::enable_if_t<V::rank == 7, int> = 0>
ORV_HD ORV_FORCE_INLINE Ref<V> elem(const V& v, const Batch16& b, int64_t i, int64_t j, int64_t k,
                                    int64_t c) {
  using I = typename V::index_t;
  return v.item(I(b.b0) * v.stride(0) + I(b.b1) * v.stride(1) + I(i) * v.stride(2) +
                I(j) * v.stride(3) + I(k) * v.stride(4) + I(c) * v.stride(5) +
                I(b.b2) * v.stride(6));
}

// Node (i, j, k) of material grid slice b1 [B1, X, Y, Z], read.
template <class V, std::enable_if_t<V::rank == 4, int> = 0>
ORV_HD ORV_FORCE_INLINE Value<V> elem(const V& v, uint16_t b1, int64_t i, int64_t j, int64_t k) {
  using I = typename V::index_t;
  return v.item(I(b1) * v.stride(0) + I(i) * v.stride(1) + I(j) * v.stride(2) +
                I(k) * v.stride(3));
}

// Entry i of a vector, read.
template <class V, std::enable_if_t<V::rank == 1, int> = 0>
ORV_HD ORV_FORCE_INLINE Value<V> elem(const V& v, int64_t i) {
  using I = typename V::index_t;
  return v.item(I(i) * v.stride(0));
}

// Fused multiply-add a*b + c, one rounding, on both backends.
ORV_HD inline float fused(float a, float b, float c) {
#ifdef __CUDA_ARCH__
  return __fmaf_rn(a, b, c);
#else
  return std::fma(a, b, c);
#endif
}

namespace cpu {
// Whether the calling thread runs the whole of the current CPU launch by
// itself (share_out sets it), so that its additions need not be atomic.
inline thread_local bool alone = false;
}  // namespace cpu

// Single-precision atomic addition to global memory, one definition per
// backend so that a body that accumulates stays written once. Used only
// where several threads add into one element. On the CPU a launch that one
// thread runs alone adds plainly: a compare-and-swap fences the loads after
// it, which took a fifth of the anisotropic pass's time.
ORV_HD inline void atomic_add(float* address, float value) {
#ifdef __CUDA_ARCH__
  atomicAdd(address, value);
#else
  if (cpu::alone) {
    *address += value;
    return;
  }
  float seen, wanted;
  __atomic_load(address, &seen, __ATOMIC_RELAXED);
  do {
    wanted = seen + value;
  } while (!__atomic_compare_exchange(address, &seen, &wanted, true, __ATOMIC_RELAXED,
                                      __ATOMIC_RELAXED));
#endif
}

// ---------------------------------------------------------- row regions
//
// What the CPU walker knows at compile time about where a run of cells lies
// relative to a kernel's absorbing layers, one zone per axis. `any` claims
// nothing (the GPU, and every cell with an index 0); every other zone also
// promises an index of at least 1 along its axis, and
//   inner: in neither layer      layer: in one of them (slot >= 0)
//   low:   in the low layer      high:  in the high layer and not the low one
// A kernel's layer-slot helpers take the zone and return what it implies, so
// the same body runs everywhere and loses its per-cell tests where the zone
// settles them.
enum class Zone { any, inner, layer, low, high };

template <Zone P>
struct ZoneOf {
  static constexpr Zone zone = P;
};

// A layer row carries its slot, settled once for the whole row (unsigned:
// the body then sees that its layer test holds).
template <>
struct ZoneOf<Zone::layer> {
  static constexpr Zone zone = Zone::layer;
  uint32_t slot;
};

// Slot of index n in the layers of thickness L at both ends of an axis of N
// cells, or -1 where n lies in neither layer; a cell in both (2L > N) counts
// as low. The field updates' absorbing layers follow this rule, and the CPU
// walker cuts its rows by it. 32-bit arithmetic is exact for every
// thickness: N - L cannot overflow (0 <= N, L), and a cell reaches the high
// layer only when L <= n < 65536, which keeps n - N + 2L small.
ORV_HD inline int32_t layer_slot_of(int32_t n, int32_t N, int32_t L) {
  // Formed before the tests, so that the choice is a select, not a branch;
  // wrapping (unsigned) where it is not taken.
  const int32_t high = int32_t(uint32_t(n) - uint32_t(N) + 2u * uint32_t(L));
  return n < L ? n : (n >= N - L ? high : -1);
}

template <Zone X, Zone Y, Zone Z>
struct Region {
  ZoneOf<X> x;
  ZoneOf<Y> y;
  ZoneOf<Z> z;
};

using AnyRegion = Region<Zone::any, Zone::any, Zone::any>;

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
  // What its threads decode their cells and batch entries with.
  CellDecode decode() const {
    return {NX,
            NY,
            NZ,
            uint32_t(B1),
            uint32_t(B2),
            Divisor(uint32_t(NY) * uint32_t(NZ)),
            Divisor(uint32_t(NZ)),
            Divisor(uint32_t(B1)),
            Divisor(uint32_t(B2))};
  }
};

// Launch of a kernel over `threads` linear thread ids (grid.x blocks of 256)
// and `rows` launch-grid rows (grid.y). Plane, box and point kernels use it;
// each decodes its own id and row as its geometry needs and returns for the
// surplus threads, so the same kernel struct runs on either launcher.
struct ThreadLaunch {
  int64_t threads;
  int64_t rows;

  bool empty() const { return threads <= 0 || rows <= 0; }
  // grid.x, in signed 32-bit arithmetic (the limits above keep it exact).
  int32_t blocks() const { return (int32_t(threads) + (kBlock - 1)) / kBlock; }
};

// ------------------------------------------------------------- launchers
//
// A launcher runs a kernel's per-cell body over a launch. Host wrappers are
// written once as templates over the launcher; the GPU launcher queues the
// named __global__ kernel, the CPU launcher walks the cells on all cores.

#if defined(__CUDACC__)
#define ORV_IVDEP
#define ORV_WIDE_TARGET
#else
// The cells of a launch are independent (the GPU runs them in any order), so
// the CPU walker may tell the compiler that a row carries no dependences.
#define ORV_IVDEP _Pragma("GCC ivdep")
#if defined(__x86_64__)
// The wide instruction set the CPU walker is also compiled for, picked at run
// time when the processor has it (a baseline x86-64 build runs everywhere).
#define ORV_WIDE_TARGET __attribute__((target("avx2,fma"), flatten))
#else
#define ORV_WIDE_TARGET __attribute__((flatten))  // never chosen: wide() is false
#endif
#endif

namespace cpu {

// Kernels that declare their absorbing layers: `int32_t layers(int axis)`,
// the thickness the body uses along an axis, and a `cell(c, b, region)` body.
template <class K, class = void>
struct has_layers : std::false_type {};
template <class K>
struct has_layers<K, std::void_t<decltype(std::declval<const K&>().layers(0))>> : std::true_type {};

// Kernels whose thread does much more than a plane or box kernel's declare
// `static constexpr int64_t kThreadWork`, about how many such threads one of
// theirs is worth: the launcher then shares out fewer ids per chunk.
template <class K, class = void>
struct thread_work : std::integral_constant<int64_t, 1> {};
template <class K>
struct thread_work<K, std::void_t<decltype(K::kThreadWork)>>
    : std::integral_constant<int64_t, K::kThreadWork> {};

// Kernels that declare the layout the walker can specialise for:
// `unit_layout(f)` calls f(view, dim, stride) for every view and dimension
// that the z loop walks, with the stride it has when every tensor is
// contiguous and the fields have f.slots trailing batch slots (B2 of 1, real
// fields, or 2, complex ones).
struct StrideProbe {
  uint64_t slots;
  bool all = true;
  template <class V>
  void operator()(const V& v, size_t d, uint64_t s) {
    all = all && v.stride(d) == s;
  }
};

// Stores those strides into a kernel's private copy (StridePin), with the
// slots known at compile time.
template <uint64_t S>
struct UnitPin : StridePin {
  static constexpr uint64_t slots = S;
};
template <class K, class = void>
struct has_unit_layout : std::false_type {};
template <class K>
struct has_unit_layout<
    K, std::void_t<decltype(std::declval<K&>().unit_layout(std::declval<StrideProbe&>()))>>
    : std::true_type {};

// Whether the wide walker may run: the processor has AVX2 and FMA, and
// ORVANE_CPU_BASELINE is not set (it forces the baseline code, so that the
// two can be compared).
inline bool wide() {
  static const bool ok = [] {
#if defined(__x86_64__) && !defined(__CUDACC__)
    const char* force = std::getenv("ORVANE_CPU_BASELINE");
    if (force && *force && *force != '0') return false;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
  }();
  return ok;
}

// z segments of every row: k = 0 alone, then [1, low_end) in the low layer,
// [low_end, high_begin) in neither, [high_begin, NZ) in the high layer only
// (a cell in both layers counts as low).
struct ZSegments {
  int32_t low_end, high_begin;
};

inline ZSegments z_segments(int32_t NZ, int32_t L) {
  const int32_t low_end = std::max(1, std::min(L, NZ));
  return {low_end, std::max(low_end, NZ - std::max(L, 0))};
}

// Cells k0 <= k < k1 of one z row, all in one region.
template <class Kernel, Zone X, Zone Y, Zone Z>
ORV_FORCE_INLINE void z_run(const Kernel& kernel, Cell16 c, const Batch16 b, int32_t k0, int32_t k1,
                            Region<X, Y, Z> region) {
  // Indices fit 16 bits (the wrappers' launch limits): the narrowing to
  // Cell16 is exact and the addresses stay affine in k.
  if (k0 < 0 || k1 > int32_t(kMaxExtent)) __builtin_unreachable();
  // The promise of the zones: no index 0 along an axis with a known zone.
  // Said once, before the loop, so that the loop itself has no branch.
  if ((X != Zone::any && c.i == 0) || (Y != Zone::any && c.j == 0) || (Z != Zone::any && k0 < 1))
    __builtin_unreachable();
  ORV_IVDEP
  for (int32_t k = k0; k < k1; ++k) {
    c.k = uint16_t(k);
    if constexpr (has_layers<Kernel>::value)
      kernel.cell(c, b, region);
    else
      kernel.cell(c, b);
  }
}

// The three z segments of one (i, j) row with zones X and Y (a layer zone
// carries its row's slot).
template <Zone X, Zone Y, Zone Z>
ORV_FORCE_INLINE Region<X, Y, Z> region_of(int64_t x_slot, int64_t y_slot) {
  Region<X, Y, Z> r{};
  if constexpr (X == Zone::layer) r.x.slot = uint32_t(x_slot);
  if constexpr (Y == Zone::layer) r.y.slot = uint32_t(y_slot);
  return r;
}

template <Zone X, Zone Y, class Kernel>
ORV_FORCE_INLINE void z_segments_of(const Kernel& kernel, const Cell16 c, const Batch16 b,
                                    const ZSegments z, int32_t NZ, int64_t x_slot, int64_t y_slot) {
  z_run(kernel, c, b, 1, z.low_end, region_of<X, Y, Zone::low>(x_slot, y_slot));
  z_run(kernel, c, b, z.low_end, z.high_begin, region_of<X, Y, Zone::inner>(x_slot, y_slot));
  z_run(kernel, c, b, z.high_begin, NZ, region_of<X, Y, Zone::high>(x_slot, y_slot));
}

// One (batch entry, i) row of NY x NZ cells. X = any: nothing known, every
// cell through the full body, views as given. Otherwise (i >= 1, the unit
// layout checked by the caller): the kernel's own copy with its strides
// pinned, each z row cut into its segments, each segment run with the zones
// it has.
template <class Kernel, Zone X, uint64_t Slots>
ORV_FORCE_INLINE void x_row(const CellLaunch& g, const Kernel& kernel, const Batch16 b, uint16_t i,
                            const ZSegments z, int64_t x_slot) {
  // A private copy: the compiler keeps its pointers and strides in registers
  // instead of reloading them after every store, and sees pinned strides.
  Kernel local = kernel;
  pin_compact(local);
  Cell16 c{i, 0, 0};
  if constexpr (X == Zone::any) {
    for (int32_t j = 0; j < g.NY; ++j) {
      c.j = uint16_t(j);
      z_run(local, c, b, 0, g.NZ, AnyRegion{});
    }
  } else {
    local.unit_layout(UnitPin<Slots>{});
    constexpr Zone In = Zone::inner, Lay = Zone::layer;
    int32_t Ly = 0;
    if constexpr (has_layers<Kernel>::value) Ly = local.layers(1);
    for (int32_t j = 0; j < g.NY; ++j) {
      c.j = uint16_t(j);
      if (j == 0) {
        z_run(local, c, b, 0, g.NZ, AnyRegion{});
        continue;
      }
      z_run(local, c, b, 0, std::min(1, g.NZ), AnyRegion{});
      if constexpr (has_layers<Kernel>::value) {
        const int64_t y_slot = layer_slot_of(j, g.NY, Ly);
        if (y_slot >= 0) {
          z_segments_of<X, Lay>(local, c, b, z, g.NZ, x_slot, y_slot);
        } else {
          z_segments_of<X, In>(local, c, b, z, g.NZ, x_slot, y_slot);
        }
      } else {
        z_run(local, c, b, 1, g.NZ, Region<X, In, In>{});
      }
    }
  }
}

// The same row walk compiled twice: for the baseline instruction set and for
// AVX2 with FMA. Each is one function with every body inlined into it.
template <class Kernel, Zone X, uint64_t Slots>
__attribute__((flatten)) void x_row_baseline(const CellLaunch& g, const Kernel& kernel,
                                             const Batch16 b, uint16_t i, const ZSegments z,
                                             int64_t x_slot) {
  x_row<Kernel, X, Slots>(g, kernel, b, i, z, x_slot);
}

template <class Kernel, Zone X, uint64_t Slots>
ORV_WIDE_TARGET void x_row_wide(const CellLaunch& g, const Kernel& kernel, const Batch16 b,
                                uint16_t i, const ZSegments z, int64_t x_slot) {
  x_row<Kernel, X, Slots>(g, kernel, b, i, z, x_slot);
}

template <class Kernel, Zone X, uint64_t Slots = 1>
void x_row_any_isa(bool wide, const CellLaunch& g, const Kernel& kernel, const Batch16 b,
                   uint16_t i, const ZSegments z, int64_t x_slot = -1) {
  if (wide)
    x_row_wide<Kernel, X, Slots>(g, kernel, b, i, z, x_slot);
  else
    x_row_baseline<Kernel, X, Slots>(g, kernel, b, i, z, x_slot);
}

// A row in one of the specialised zones, with the unit layout's slots.
template <class Kernel, Zone X>
void x_row_unit(uint64_t slots, bool wide, const CellLaunch& g, const Kernel& kernel,
                const Batch16 b, uint16_t i, const ZSegments z, int64_t x_slot = -1) {
  if (slots == 2)
    x_row_any_isa<Kernel, X, 2>(wide, g, kernel, b, i, z, x_slot);
  else
    x_row_any_isa<Kernel, X, 1>(wide, g, kernel, b, i, z, x_slot);
}

// Ids begin <= id < end of a thread launch, each with all its rows; like the
// rows of cell kernels, compiled for the baseline and the wide instruction
// set (a body's fused multiply-adds are single instructions only in the
// latter).
template <class Kernel>
ORV_FORCE_INLINE void pairs(const Kernel& kernel, int64_t begin, int64_t end, int64_t rows) {
  Kernel local = kernel;
  pin_compact(local);
  if (rows == 1) {
    // A single row (one batch entry, the common case): its decoding folds
    // away.
    for (int64_t id = begin; id < end; ++id) local.thread(int32_t(id), 0u);
    return;
  }
  for (int64_t id = begin; id < end; ++id)
    for (int64_t r = 0; r < rows; ++r) local.thread(int32_t(id), uint32_t(r));
}

template <class Kernel>
__attribute__((flatten)) void pairs_baseline(const Kernel& kernel, int64_t begin, int64_t end,
                                             int64_t rows) {
  pairs(kernel, begin, end, rows);
}

template <class Kernel>
ORV_WIDE_TARGET void pairs_wide(const Kernel& kernel, int64_t begin, int64_t end, int64_t rows) {
  pairs(kernel, begin, end, rows);
}

// ------------------------------------------------------ sharing the work
//
// The CPU launcher divides a launch's items (rows, or thread ids) between
// the threads of one parallel region. Each worker owns a contiguous share
// and walks it from the front, as a static split does, so that neighbouring
// rows (which read each other's planes) stay in one worker's cache; a worker
// whose share is done takes chunks from the back of the others'. A worker
// that another process holds up, or that starts late, thus takes less
// instead of setting the pace of the launch. (Handing out single chunks in
// order from one counter instead interleaves the workers' rows and loses
// that reuse: a quiet 96^3 step took 3.05 ms against 2.29.)

// One worker's share: chunks front <= c < back, packed into one word so that
// its owner (from the front) and the others (from the back) each claim with
// one compare-and-swap.
class Share {
 public:
  void assign(uint32_t front, uint32_t back) { range_.store(pack(front, back)); }

  // The claimed chunk, or -1 when the share is empty.
  int64_t take(bool from_front) {
    uint64_t r = range_.load();
    for (;;) {
      const uint32_t front = uint32_t(r), back = uint32_t(r >> 32);
      if (front >= back) return -1;
      const uint64_t rest = from_front ? pack(front + 1, back) : pack(front, back - 1);
      if (range_.compare_exchange_weak(r, rest)) return from_front ? front : back - 1;
    }
  }

 private:
  static uint64_t pack(uint32_t front, uint32_t back) { return uint64_t(back) << 32 | front; }
  std::atomic<uint64_t> range_{0};
};

// The shares of one launch, chunks split as evenly as a static split would.
class Shares {
 public:
  Shares(int64_t chunks, int64_t workers) : shares_(size_t(workers)) {
    for (int64_t w = 0; w < workers; ++w)
      shares_[size_t(w)].assign(uint32_t(chunks * w / workers),
                                uint32_t(chunks * (w + 1) / workers));
  }

  // Runs chunk(c) for every chunk worker w can claim: its own share first,
  // then from the back of the others'.
  template <class Chunk>
  void work(int64_t w, const Chunk& chunk) {
    const int64_t workers = int64_t(shares_.size());
    for (int64_t c; (c = shares_[size_t(w)].take(true)) >= 0;) chunk(c);
    for (int64_t o = 1; o < workers; ++o) {
      Share& other = shares_[size_t((w + o) % workers)];
      for (int64_t c; (c = other.take(false)) >= 0;) chunk(c);
    }
  }

 private:
  std::vector<Share> shares_;
};

// Subnormal floats (below 2^-126 in magnitude) cost an x86 processor a
// hundred cycles and more per operation: a pulse's far tails fill most of a
// box with them for its first steps, which then ran ten times slower. The
// GPU build flushes them to zero (fast math); the CPU walker does too, on
// every thread of a launch and for its duration (MXCSR's flush-to-zero and
// denormals-are-zero), and restores the thread's own mode after.
class FlushSubnormals {
 public:
#if defined(__x86_64__) && !defined(__CUDACC__)
  FlushSubnormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero); }
  ~FlushSubnormals() { _mm_setcsr(saved_); }

 private:
  static constexpr unsigned kFlushToZero = 0x8000, kDenormalsAreZero = 0x0040;
  const unsigned saved_;
#endif
};

// Runs body(begin, end) over [0, n) in chunks of `grain` items (the last one
// shorter), on as many workers as at::parallel_for would start for this
// grain: the calling thread alone where n <= grain, with one thread, or
// inside a parallel region.
// Marks the calling thread as running a launch alone while it lives.
struct Alone {
  const bool before = alone;
  explicit Alone(bool on) { alone = on; }
  ~Alone() { alone = before; }
  Alone(const Alone&) = delete;
  Alone& operator=(const Alone&) = delete;
};

template <class Body>
void share_out(int64_t n, int64_t grain, const Body& body) {
  const int64_t chunks = (n + grain - 1) / grain;
  const int64_t workers = std::min<int64_t>(at::get_num_threads(), chunks);
  // (The launch limits keep n, hence the chunk count, below 2^32.)
  if (workers <= 1 || at::in_parallel_region() || chunks > int64_t(UINT32_MAX)) {
    const FlushSubnormals flush;
    // Alone unless nested in another parallel region, whose other threads
    // may be running launches of their own.
    const Alone alone(!at::in_parallel_region());
    body(0, n);
    return;
  }
  const auto chunk = [&body, n, grain](int64_t c) {
    body(c * grain, std::min(n, (c + 1) * grain));
  };
  Shares shares(chunks, workers);
  at::parallel_for(0, workers, 1, [&](int64_t begin, int64_t end) {
    const FlushSubnormals flush;
    for (int64_t w = begin; w < end; ++w) shares.work(w, chunk);
  });
}

}  // namespace cpu

struct CpuLauncher {
  static constexpr const char* kDevice = "cpu";
  static constexpr const char* kProcessor = "CPU";  // in the fixed "... not on GPU." messages

  static bool available() { return true; }
  static bool on_device(const at::Tensor& t) { return t.device().is_cpu(); }
  // Kernels run synchronously on the calling thread's workers.
  static void synchronize(const char* /*function*/) {}

  struct DeviceScope {
    explicit DeviceScope(const at::Device&) {}
  };

  // Innermost axis (z) last; (b0, b1, i) rows, each with all its B2 slots,
  // shared out between threads (see share_out) in chunks of about 16384
  // cells (or one longer row). A row's slots stay with one thread: they
  // interleave in memory, and two threads writing alternate floats of the
  // same cache lines would fight over every line. The same cells as the GPU
  // runs, in rows: when the kernel declares its unit layout and the tensors
  // have it, rows i >= 1 run with pinned strides and cut into layer and
  // interior segments (see x_row), which lets the compiler vectorise the
  // body along z; otherwise every cell runs the full body, as on the GPU.
  template <class Kernel>
  static void cells16(const char* /*function*/, const CellLaunch& g, const Kernel& kernel) {
    if (g.empty()) return;
    const int64_t rows = int64_t(g.B0) * g.B1 * g.NX;
    const int64_t row_cells = int64_t(g.NY) * g.NZ * g.B2;
    const int64_t grain = std::max<int64_t>(1, 16384 / std::max<int64_t>(1, row_cells));

    uint64_t unit = 0;  // the unit layout's batch slots, 0 where the tensors lack it
    if constexpr (cpu::has_unit_layout<Kernel>::value) {
      if (g.B2 == 1 || g.B2 == 2) {
        Kernel probe = kernel;
        cpu::StrideProbe p{uint64_t(g.B2)};
        probe.unit_layout(p);
        unit = p.all ? uint64_t(g.B2) : 0;
      }
    }
    int32_t Lx = 0, Lz = 0;
    if constexpr (cpu::has_layers<Kernel>::value) {
      Lx = kernel.layers(0);
      Lz = kernel.layers(2);
    }
    const cpu::ZSegments z = cpu::z_segments(g.NZ, Lz);
    const bool wide = cpu::wide();

    cpu::share_out(rows, grain, [&](int64_t begin, int64_t end) {
      for (int64_t r = begin; r < end; ++r) {
        const int64_t entry = r / g.NX;  // b0 * B1 + b1
        const int32_t i = int32_t(r % g.NX);
        for (int32_t slot = 0; slot < g.B2; ++slot) {
          const Batch16 b =
              batch16_from_y(uint32_t(entry * g.B2 + slot), uint32_t(g.B1), uint32_t(g.B2));
          row(g, kernel, b, i, unit, wide, z, Lx);
        }
      }
    });
  }

  // One (batch entry, i) row of a cell launch (see cells16).
  template <class Kernel>
  static void row(const CellLaunch& g, const Kernel& kernel, const Batch16 b, int32_t i,
                  uint64_t unit, bool wide, const cpu::ZSegments z, int32_t Lx) {
    if constexpr (cpu::has_unit_layout<Kernel>::value) {
      if (unit && i > 0) {
        if constexpr (cpu::has_layers<Kernel>::value) {
          const int64_t x_slot = layer_slot_of(i, g.NX, Lx);
          if (x_slot >= 0) {
            cpu::x_row_unit<Kernel, Zone::layer>(unit, wide, g, kernel, b, uint16_t(i), z, x_slot);
            return;
          }
        }
        cpu::x_row_unit<Kernel, Zone::inner>(unit, wide, g, kernel, b, uint16_t(i), z);
        return;
      }
    }
    cpu::x_row_any_isa<Kernel, Zone::any>(wide, g, kernel, b, uint16_t(i), z);
  }

  // Every (id, row) pair, shared out between threads by id (see share_out)
  // in chunks of about kThreadGrain pairs; the kernel's `thread(id, row)`
  // decodes and bounds-tests as on the GPU. Ids past `threads` (the surplus
  // of the last block) would return at once there, so they are not walked.
  // Rows run innermost: the launch rows are the batch entries, whose
  // trailing index is the fastest in memory, so one id's rows share cache
  // lines (the GPU runs every pair at once, in no order, so any order is the
  // kernel's).
  //
  // Plane and box kernels are light per id: below kThreadGrain pairs a
  // launch runs on the calling thread, where waking the other workers would
  // cost more than the work (and, on a busy machine, a scheduler time slice).
  static constexpr int64_t kThreadGrain = 32768;

  template <class Kernel>
  static void threads(const char* /*function*/, const ThreadLaunch& g, const Kernel& kernel) {
    if (g.empty()) return;
    const int64_t rows = g.rows;
    const int64_t grain =
        std::max<int64_t>(1, kThreadGrain / (rows * cpu::thread_work<Kernel>::value));
    const bool wide = cpu::wide();
    cpu::share_out(g.threads, grain, [&](int64_t begin, int64_t end) {
      if (wide)
        cpu::pairs_wide(kernel, begin, end, rows);
      else
        cpu::pairs_baseline(kernel, begin, end, rows);
    });
  }
};

#ifdef __CUDACC__

// Body of every 16-bit cell kernel: decode the thread's cell and batch entry,
// drop the surplus threads, run the cell.
template <class Kernel>
__device__ __forceinline__ void run_cell16_thread(const Kernel& kernel, const CellDecode& decode) {
  Cell16 c;
  const int32_t id = int32_t(blockIdx.x) * int32_t(blockDim.x) + int32_t(threadIdx.x);
  if (!decode.cell(id, c)) return;
  Kernel local = kernel;
  pin_compact(local);
  local.cell(c, decode.batch(blockIdx.y));
}

// Body of every thread-grid kernel: the kernel decodes id and row itself.
template <class Kernel>
__device__ __forceinline__ void run_thread(const Kernel& kernel) {
  Kernel local = kernel;
  pin_compact(local);
  local.thread(int32_t(blockIdx.x) * int32_t(blockDim.x) + int32_t(threadIdx.x), blockIdx.y);
}

// A __global__ function and its name, for error messages: a cell kernel's
// takes the decode of its launch too.
template <class Kernel>
struct GpuKernel {
  void (*fn)(Kernel);
  const char* name;
};

template <class Kernel>
struct GpuCellKernel {
  void (*fn)(Kernel, CellDecode);
  const char* name;
};

// An error that an earlier kernel left behind, read (and, unless it is
// sticky, cleared) before a launch, so that it is not taken for the
// launch's own.
inline void check_pending(const char* function, const char* kernel) {
  const cudaError_t status = cudaGetLastError();
  if (status != cudaSuccess)
    throw std::runtime_error(std::string(function) + ": before the launch of " + kernel +
                             ", an earlier CUDA error was pending (not this call's): " +
                             cudaGetErrorString(status));
}

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
  static constexpr const char* kProcessor = "GPU";

  static bool available() { return at::cuda::is_available(); }
  static bool on_device(const at::Tensor& t) { return t.device().is_cuda(); }

  // Waits for the device; an error from an earlier kernel shows up here.
  static void synchronize(const char* function) {
    const cudaError_t status = cudaDeviceSynchronize();
    if (status != cudaSuccess)
      throw std::runtime_error(std::string(function) +
                               ": the device failed: " + cudaGetErrorString(status));
  }

  // Kernels run on the device that holds the fields, whatever the current one.
  using DeviceScope = c10::cuda::CUDAGuard;

  // Kernels go on the caller's current stream of the device that holds the
  // fields (the wrapper's DeviceScope has made it current), where PyTorch
  // also queues the call's own tensor work (zero-fills, index vectors,
  // copies), so the two stay in order inside torch.cuda.stream(s) and under
  // graph capture; a caller who never changes streams gets the default one.
  static cudaStream_t stream() { return c10::cuda::getCurrentCUDAStream().stream(); }

  // `gpu_kernel(kernel)` names the __global__ function of a kernel struct;
  // each subsystem header declares one overload per kernel.
  template <class Kernel>
  static void cells16(const char* function, const CellLaunch& g, const Kernel& kernel) {
    if (g.empty()) return;
    const auto entry = gpu_kernel(kernel);
    check_pending(function, entry.name);
    entry.fn<<<dim3(uint32_t(g.blocks()), uint32_t(g.batches()), 1), dim3(kBlock, 1, 1), 0,
               stream()>>>(kernel, g.decode());
    check_launch(function, entry.name);
  }

  template <class Kernel>
  static void threads(const char* function, const ThreadLaunch& g, const Kernel& kernel) {
    if (g.empty()) return;
    const auto entry = gpu_kernel(kernel);
    check_pending(function, entry.name);
    entry.fn<<<dim3(uint32_t(g.blocks()), uint32_t(g.rows), 1), dim3(kBlock, 1, 1), 0,
               stream()>>>(kernel);
    check_launch(function, entry.name);
  }
};

#endif  // __CUDACC__

}  // namespace orvane
