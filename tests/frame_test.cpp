// Thread-to-cell and batch decoding of the launch frame and the layer slots,
// including the 16-bit wrap that the wrappers' size limits exist to prevent.
// Built and run by test_frame.py; exits non-zero on a failure.
#include <cstdio>

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
