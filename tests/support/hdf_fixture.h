// A test fixture with one HDF4 file in a fresh directory, opened with the V,
// SD and AN interfaces as the program opens its EDR.
#pragma once

#include <gtest/gtest.h>

#include "harness.h"
#include "mfhdf.h"

class HdfFileTest : public ::testing::Test {
 protected:
  harness::TempDir dir;
  std::string path = dir / "t.hdf";
  int32 f = -1, sd = -1, an = -1;

  // DFACC_CREATE, DFACC_RDWR or DFACC_READ.
  void open(intn access) {
    f = Hopen(path.c_str(), access, 0);
    ASSERT_NE(f, -1);
    ASSERT_EQ(Vstart(f), 0);
    sd = SDstart(path.c_str(), access == DFACC_READ ? DFACC_READ : DFACC_RDWR);
    ASSERT_NE(sd, -1);
    an = ANstart(f);
  }
  void finish() {
    ANend(an);
    SDend(sd);
    Vend(f);
    Hclose(f);
  }
};
