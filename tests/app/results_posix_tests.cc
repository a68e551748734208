// POSIX names are bytes, so a path can hold text that is not UTF-8; no document may carry it.
#include <gtest/gtest.h>

#include "app/results.h"

namespace tovra {
namespace {

TEST(ResultDocumentsPosix, RefusesPathsThatAreNotUtf8) {
  StatusResult result;
  result.data_root = "/bad\xFF";
  EXPECT_THROW(serialize_document(status_document(result)), Json::exception);
}

}  // namespace
}  // namespace tovra
