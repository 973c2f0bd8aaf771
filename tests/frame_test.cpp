// Thread-to-cell and batch decoding of the launch frame and the layer slots,
// including the 16-bit wrap that the wrappers' size limits exist to prevent.
// Built and run by test_frame.py; exits non-zero on a failure.
#include <cstdio>
#include <vector>

#include "fields.h"

using namespace orvane;

static int passed = 0, failed = 0;

#define EXPECT(cond)                                                  \
  do {                                                                \
    if (cond) {                                                       \
      ++passed;                                                       \
    } else {                                                          \
      ++failed;                                                       \
      std::printf("%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
    }                                                                 \
  } while (0)

static bool decodes_to(int32_t id, int32_t NX, int32_t NY, int32_t NZ, int i, int j, int k) {
  Cell16 c;
  return cell16_from_id(id, NX, NY, NZ, c) && c.i == i && c.j == j && c.k == k;
}

int main() {
  // z fastest, then y, then x
  EXPECT(decodes_to(0, 3, 4, 5, 0, 0, 0));
  EXPECT(decodes_to(1, 3, 4, 5, 0, 0, 1));
  EXPECT(decodes_to(5, 3, 4, 5, 0, 1, 0));
  EXPECT(decodes_to(20, 3, 4, 5, 1, 0, 0));
  EXPECT(decodes_to(59, 3, 4, 5, 2, 3, 4));

  // every cell exactly once, surplus threads of the last block dropped
  {
    const CellLaunch g{7, 6, 5, 1, 1, 1};
    int inside = 0;
    for (int32_t id = 0; id < g.blocks() * kBlock; ++id) {
      Cell16 c;
      if (cell16_from_id(id, g.NX, g.NY, g.NZ, c)) {
        ++inside;
        EXPECT(id == (c.i * g.NY + c.j) * g.NZ + c.k);
      }
    }
    EXPECT(inside == 7 * 6 * 5);
    EXPECT(g.blocks() == 1);
  }
  EXPECT((CellLaunch{16, 16, 1, 1, 1, 1}.blocks() == 1));
  EXPECT((CellLaunch{16, 16, 2, 1, 1, 1}.blocks() == 2));
  EXPECT((CellLaunch{0, 16, 2, 1, 1, 1}.empty()));
  EXPECT((CellLaunch{3, 3, 3, 2, 0, 2}.empty()));

  // Indices are kept modulo 65536: past the limits a thread lands on the
  // wrong cell instead of being dropped.
  {
    Cell16 c;
    EXPECT(cell16_from_id(65536, 70000, 1, 1, c) && c.i == 0);
    EXPECT(cell16_from_id(65537 * 2, 70000, 2, 1, c) && c.i == 1 && c.j == 0);
  }

  // batch entry: b2 fastest, then b1, then b0
  {
    const uint32_t B0 = 3, B1 = 4, B2 = 5;
    uint32_t y = 0;
    bool in_order = true;
    for (uint32_t b0 = 0; b0 < B0; ++b0)
      for (uint32_t b1 = 0; b1 < B1; ++b1)
        for (uint32_t b2 = 0; b2 < B2; ++b2, ++y) {
          const Batch16 b = batch16_from_y(y, B1, B2);
          in_order = in_order && b.b0 == b0 && b.b1 == b1 && b.b2 == b2;
        }
    EXPECT(in_order);
    // b0 kept modulo 65536
    EXPECT(batch16_from_y(65536u * 2u + 1u, 1, 2).b0 == 0);
    EXPECT(batch16_from_y(65536u * 2u + 1u, 1, 2).b2 == 1);
  }

  // Division by a launch constant: exact for every dividend below 2^31,
  // checked at the dividends where an error would first show (around the
  // multiples of d and at the top of the range) for every divisor up to
  // 2^12, powers of two and their neighbours, and the largest ones.
  {
    std::vector<uint32_t> divisors;
    for (uint32_t d = 1; d <= 4096; ++d) divisors.push_back(d);
    for (uint32_t s = 12; s <= 31; ++s)
      for (int64_t e = -1; e <= 1; ++e) divisors.push_back(uint32_t((int64_t(1) << s) + e));
    divisors.push_back(65535);
    divisors.push_back(65535u * 32768u);
    bool exact = true;
    for (const uint32_t d : divisors) {
      if (d == 0 || d > (1u << 31)) continue;
      const Divisor div(d);
      const uint32_t top = 0x7fffffffu;
      for (const uint32_t base : {0u, d, 7u * d, top - top % d, top / d / 2 * d})
        for (int64_t off = -2; off <= 2; ++off) {
          const int64_t n = int64_t(base) + off;
          if (n < 0 || n > top) continue;
          exact = exact && div.divide(uint32_t(n)) == uint32_t(n) / d;
        }
      exact = exact && div.divide(top) == top / d;
    }
    EXPECT(exact);
  }

  // A launch's decode finds the cells and batch entries of cell16_from_id
  // and batch16_from_y, wrap and surplus threads included.
  {
    bool same = true;
    for (const CellLaunch g : {CellLaunch{7, 6, 5, 3, 4, 5}, CellLaunch{1, 1, 1, 1, 1, 1},
                               CellLaunch{70000, 1, 1, 1, 2, 1}, CellLaunch{3, 300, 257, 2, 1, 2}}) {
      const CellDecode decode = g.decode();
      for (int64_t id = 0; id < int64_t(g.blocks()) * kBlock; id += 1 + id / 1000) {
        Cell16 want, got;
        const bool in = cell16_from_id(int32_t(id), g.NX, g.NY, g.NZ, want);
        same = same && decode.cell(int32_t(id), got) == in && got.i == want.i &&
               got.j == want.j && got.k == want.k;
      }
      for (uint32_t y = 0; y < uint32_t(g.batches()) + 3; ++y) {
        const Batch16 want = batch16_from_y(y, uint32_t(g.B1), uint32_t(g.B2));
        const Batch16 got = decode.batch(y);
        same = same && got.b0 == want.b0 && got.b1 == want.b1 && got.b2 == want.b2;
      }
    }
    EXPECT(same);
  }

  // plane positions: inner index fastest, each kept modulo 65536
  {
    bool all = true;
    for (int32_t p = 0; p < 7; ++p)
      for (int32_t q = 0; q < 5; ++q) {
        const Plane16 at = plane16_from_id(p * 5 + q, 5);
        all = all && at.p == p && at.q == q;
      }
    EXPECT(all);
    EXPECT(plane16_from_id(65536 * 3 + 2, 3).p == 0 && plane16_from_id(65536 * 3 + 2, 3).q == 2);
    EXPECT(plane16_from_id(70000, 1).p == 70000 - 65536);
  }

  // layer slots: low layer wins when the layers overlap
  EXPECT(layer_slot(0, 10, 3) == 0 && layer_slot(2, 10, 3) == 2 && layer_slot(3, 10, 3) == -1);
  EXPECT(layer_slot(7, 10, 3) == 3 && layer_slot(9, 10, 3) == 5);
  EXPECT(layer_slot(2, 4, 3) == 2 && layer_slot(3, 4, 3) == 5);
  EXPECT(layer_slot(5, 10, 0) == -1 && layer_slot(0, 10, -4) == -1 && layer_slot(9, 10, -4) == -1);
  EXPECT(electric_layer_slot(0, 10, 3) == -1 && electric_layer_slot(1, 10, 3) == 1);
  EXPECT(electric_layer_slot(0, 4, 4) == -1 && layer_slot(0, 4, 5) == 0);
  EXPECT(layer_slot(65535, 65535, 2147483647) == 65535);

  // The CPU walker's z segments of a row: past k = 0 they tile [1, N), and
  // the zone of the segment holding k gives the slot of the full test, for
  // both updates; a layer row's carried slot is the full test's too.
  for (int32_t N = 1; N <= 12; ++N)
    for (int32_t L = -2; L <= 14; ++L) {
      const cpu::ZSegments z = cpu::z_segments(N, L);
      EXPECT(1 <= z.low_end && z.low_end <= z.high_begin && z.high_begin <= std::max(N, 1));
      for (int32_t k = 1; k < N; ++k) {
        int64_t got, got_e;
        if (k < z.low_end) {
          got = layer_slot(k, N, L, ZoneOf<Zone::low>{});
          got_e = electric_layer_slot(k, N, L, ZoneOf<Zone::low>{});
        } else if (k < z.high_begin) {
          got = layer_slot(k, N, L, ZoneOf<Zone::inner>{});
          got_e = electric_layer_slot(k, N, L, ZoneOf<Zone::inner>{});
        } else {
          got = layer_slot(k, N, L, ZoneOf<Zone::high>{});
          got_e = electric_layer_slot(k, N, L, ZoneOf<Zone::high>{});
        }
        EXPECT(got == layer_slot(k, N, L) && got_e == electric_layer_slot(k, N, L));
        const int64_t row = layer_slot_of(k, N, L);
        if (row >= 0) {
          ZoneOf<Zone::layer> zone{};
          zone.slot = uint32_t(row);
          EXPECT(layer_slot(k, N, L, zone) == layer_slot(k, N, L));
          EXPECT(electric_layer_slot(k, N, L, zone) == electric_layer_slot(k, N, L));
        }
      }
    }

  std::printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}
