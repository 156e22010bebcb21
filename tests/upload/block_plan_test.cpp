// The block plan chosen from a file's size.
#include <gtest/gtest.h>

#include "protocol/TaskRecord.h"

namespace {

TaskRecord Plan(int64_t size) {
  TaskRecord t{};
  InitTask(t);
  t.FileSize = size;
  ChooseBlockSize(t);
  return t;
}

TEST(BlockPlan, ClassBoundsBelongToTheLowerClass) {
  struct Case {
    int64_t size;
    int32_t blockSize, schema, count;
  } cases[] = {
      {0, 262144, 0, 0},
      {1, 262144, 0, 1},
      {-5, 262144, 0, 0},
      {134217728, 262144, 0, 512},
      {134217729, 524288, 1, 257},
      {268435456, 524288, 1, 512},
      {268435457, 1048576, 2, 257},
      {314572800, 1048576, 2, 300},
      {536870912, 1048576, 2, 512},
      {536870913, 2097152, 3, 257},
      {5LL << 30, 2097152, 3, 2560},
  };
  for (const Case& c : cases) {
    TaskRecord t = Plan(c.size);
    EXPECT_EQ(t.BlockSize, c.blockSize) << c.size;
    EXPECT_EQ(t.BlockSchema, c.schema) << c.size;
    EXPECT_EQ(t.BlockCount, c.count) << c.size;
  }
}

TEST(BlockPlan, InitialValues) {
  TaskRecord t{};
  InitTask(t);
  EXPECT_EQ(t.Status, 1);
  EXPECT_EQ(t.ErrCode, 100);
  EXPECT_TRUE(t.NeedUpload);
  EXPECT_FALSE(t.IsUpload);
  EXPECT_EQ(t.ServerErrCode, 0);
}

}  // namespace
