// Values the core must refuse rather than pass on: matrix layouts other than little-endian float32 in
// C order, non-finite weights, and vectors that cannot be scored.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "io/npy.hpp"
#include "kv/similar.hpp"
#include "weights/finite.hpp"

namespace tarnivel {
namespace {

TEST(HeaderDictionary, LayoutIsLittleEndianFloat32InCOrder) {
  const std::string ok = "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }";
  EXPECT_NO_THROW(check_matrix_layout(ok));
  EXPECT_NO_THROW(check_matrix_layout("{'descr': '<f4', # 'fortran_order': True\n 'fortran_order': False}"));
  // Comments after a value are not part of it.
  EXPECT_NO_THROW(check_matrix_layout("{'descr' : '<f4' # x\n , 'fortran_order' : False # 'shape': (1, 2) (\n , }"));
  const struct {
    const char* header;
    const char* message;
  } bad[] = {
      {"{'descr': '<f2', 'fortran_order': False}",
       "unsupported npy dtype '<f2': only little-endian float32 '<f4' is read"},
      {"{'descr': '>f4', 'fortran_order': False}",
       "unsupported npy dtype '>f4': only little-endian float32 '<f4' is read"},
      {"{'descr': 4, 'fortran_order': False}", "unsupported npy dtype 4: only little-endian float32 '<f4' is read"},
      {"{'descr': '<f4', 'fortran_order': True}",
       "unsupported npy layout: fortran_order is True, only C order is read"},
      {"{'descr': '<f4', 'fortran_order': 0}", "unsupported npy layout: fortran_order 0"},
      {"{'fortran_order': False} # 'descr': '<f4'", "unsupported npy header: no descr"},
      {"{'descr': '<f4'}", "unsupported npy header: no fortran_order"},
  };
  for (const auto& c : bad) {
    try {
      check_matrix_layout(c.header);
      ADD_FAILURE() << "no error for " << c.header;
    } catch (const ValueError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(NonFinite, FindsTheFirstNanOrInfinity) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float big = std::numeric_limits<float>::max();
  const float tiny = std::numeric_limits<float>::denorm_min();
  std::vector<float> v(5000, 0.5f);
  EXPECT_EQ(first_non_finite({}), 0u);
  EXPECT_EQ(first_non_finite(v), v.size());
  v[0] = big, v[1] = -big, v[2] = tiny, v[3] = -0.0f;
  EXPECT_EQ(first_non_finite(v), v.size());
  v[4999] = inf;
  EXPECT_EQ(first_non_finite(v), 4999u);
  v[2100] = -inf;  // in the second block
  EXPECT_EQ(first_non_finite(v), 2100u);
  v[7] = nan;
  EXPECT_EQ(first_non_finite(v), 7u);
  v[0] = -nan;
  EXPECT_EQ(first_non_finite(v), 0u);
}

TEST(NonFinite, QueriesStopAtVectorsTheyCannotScore) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const auto failure = [](std::vector<float> rows, uint64_t query_row, std::size_t k) -> std::string {
    const std::vector<float> query(rows.begin() + static_cast<std::ptrdiff_t>(query_row * 2),
                                   rows.begin() + static_cast<std::ptrdiff_t>(query_row * 2 + 2));
    try {
      nearest_rows(query, RowSet{rows.data(), 2, rows.size() / 2, {}}, query_row, k);
    } catch (const UnscorableVector& e) {
      return std::to_string(e.row) + (e.too_large ? " large" : " non-finite");
    }
    return "scored";
  };
  EXPECT_EQ(failure({1, 0, 0, 1, 1, 1}, 0, 2), "scored");
  EXPECT_EQ(failure({1, 0, nan, 1, 1, 1}, 0, 2), "1 non-finite");
  EXPECT_EQ(failure({1, 0, 0, 1, 1, -inf}, 0, 1), "2 non-finite");
  EXPECT_EQ(failure({nan, 0, 0, 1, 1, 1}, 0, 2), "0 non-finite");  // the query itself
  EXPECT_EQ(failure({0, 0, 0, 1, nan, 1}, 0, 2), "2 non-finite");   // a zero query would score 0.0
  EXPECT_EQ(failure({1, 0, 3e19f, 3e19f, 1, 1}, 0, 2), "1 large");
  EXPECT_EQ(failure({1, 0, nan, 1}, 0, 0), "1 non-finite");  // whatever is kept
}

}  // namespace
}  // namespace tarnivel
