// Handle bookkeeping shared by the backends.
#include "visa/handle_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace quorvel {
namespace {

using Descriptor = std::array<ViChar, VI_FIND_BUFLEN>;

const std::vector<std::string> kResources = {"USB0::0x1D7C::0x4A35::SN000123::INSTR",
                                             "USB0::0x0957::0x1234::OTHER::INSTR",
                                             "USB1::0x1D7C::0x4A35::SN000124::INSTR"};

TEST(HandleTable, ClosingAResourceManagerClosesWhatWasOpenedFromIt) {
  HandleTable<int> table;
  const ViSession first = table.OpenResourceManager();
  const ViSession second = table.OpenResourceManager();
  const ViSession a = table.OpenSession(first, 1);
  const ViSession b = table.OpenSession(first, 2);
  const ViSession other = table.OpenSession(second, 3);
  ViFindList list = VI_NULL;
  ASSERT_EQ(table.FindResources(first, "?*", kResources, &list, nullptr, nullptr), VI_SUCCESS);
  ASSERT_EQ(table.OpenHandleCount(), 6);

  std::vector<int> closed;
  EXPECT_EQ(table.Close(first, [&](int& state) { closed.push_back(state); }), VI_SUCCESS);

  EXPECT_EQ(closed, (std::vector<int>{1, 2}));
  EXPECT_EQ(table.Session(a), nullptr);
  EXPECT_EQ(table.Session(b), nullptr);
  EXPECT_EQ(table.FindNext(list, nullptr), VI_ERROR_INV_OBJECT);
  ASSERT_NE(table.Session(other), nullptr);
  EXPECT_EQ(*table.Session(other), 3);
  EXPECT_EQ(table.OpenHandleCount(), 2);
}

TEST(HandleTable, ClosedAndUnknownHandlesAreInvalidObjects) {
  HandleTable<int> table;
  const ViSession rm = table.OpenResourceManager();
  const ViSession session = table.OpenSession(rm, 7);
  ASSERT_EQ(table.Close(session), VI_SUCCESS);

  for (const ViObject handle : {session, ViObject{VI_NULL}, ViObject{0xDEADBEEF}}) {
    EXPECT_EQ(table.Close(handle), VI_ERROR_INV_OBJECT) << handle;
    EXPECT_EQ(table.Session(handle), nullptr) << handle;
    EXPECT_EQ(table.SetAttribute(handle, VI_ATTR_TMO_VALUE, 100), VI_ERROR_INV_OBJECT) << handle;
    EXPECT_EQ(table.FindNext(handle, nullptr), VI_ERROR_INV_OBJECT) << handle;
    EXPECT_FALSE(table.Timeout(handle).has_value()) << handle;
  }
  // A session is no resource manager, a resource manager no session.
  EXPECT_EQ(table.OpenSession(session, 1), VI_NULL);
  EXPECT_EQ(table.Session(rm), nullptr);
  EXPECT_EQ(table.OpenHandleCount(), 1);
}

TEST(HandleTable, HandlesAreNotReused) {
  HandleTable<int> table;
  const ViSession rm = table.OpenResourceManager();
  std::vector<ViSession> seen{rm};
  for (int i = 0; i < 5; ++i) {
    const ViSession session = table.OpenSession(rm, i);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), session), 0);
    seen.push_back(session);
    table.Close(session);
  }
}

TEST(HandleTable, FindListWalksTheMatchesInOrder) {
  HandleTable<int> table;
  const ViSession rm = table.OpenResourceManager();
  ViFindList list = VI_NULL;
  ViUInt32 count = 0;
  Descriptor descriptor{};
  ASSERT_EQ(table.FindResources(rm, "USB?::0x1D7C::0x4A35::?*INSTR", kResources, &list, &count,
                                descriptor.data()),
            VI_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_STREQ(descriptor.data(), kResources[0].c_str());
  EXPECT_EQ(table.FindNext(list, descriptor.data()), VI_SUCCESS);
  EXPECT_STREQ(descriptor.data(), kResources[2].c_str());
  EXPECT_EQ(table.FindNext(list, descriptor.data()), VI_ERROR_RSRC_NFOUND);
  EXPECT_STREQ(descriptor.data(), "");
  EXPECT_EQ(table.Close(list), VI_SUCCESS);
  EXPECT_EQ(table.OpenHandleCount(), 1);
}

TEST(HandleTable, FailedSearchesLeaveNothingOpen) {
  struct Case {
    ViSession resourceManager;  // 0: the open one
    const char* expression;
    ViStatus status;
  };
  for (const Case& c :
       {Case{0, "GPIB?*", VI_ERROR_RSRC_NFOUND}, Case{0, "[USB", VI_ERROR_INV_EXPR},
        Case{0, nullptr, VI_ERROR_INV_EXPR}, Case{999, "?*", VI_ERROR_INV_OBJECT}}) {
    HandleTable<int> table;
    const ViSession rm = table.OpenResourceManager();
    ViFindList list = 55;
    ViUInt32 count = 55;
    Descriptor descriptor{'x'};
    EXPECT_EQ(table.FindResources(c.resourceManager ? c.resourceManager : rm, c.expression,
                                  kResources, &list, &count, descriptor.data()),
              c.status);
    EXPECT_EQ(list, VI_NULL);
    EXPECT_EQ(count, 0u);
    EXPECT_STREQ(descriptor.data(), "");
    EXPECT_EQ(table.OpenHandleCount(), 1);
  }
}

TEST(HandleTable, SearchWithoutFindListPointerOpensNone) {
  HandleTable<int> table;
  const ViSession rm = table.OpenResourceManager();
  ViUInt32 count = 0;
  EXPECT_EQ(table.FindResources(rm, "?*", kResources, nullptr, &count, nullptr), VI_SUCCESS);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(table.OpenHandleCount(), 1);
}

TEST(HandleTable, TimeoutAttribute) {
  HandleTable<int> table;
  const ViSession rm = table.OpenResourceManager();
  const ViSession session = table.OpenSession(rm, 0);
  EXPECT_EQ(table.Timeout(session), Millis{2000});
  EXPECT_EQ(table.SetAttribute(session, VI_ATTR_TMO_VALUE, 20000), VI_SUCCESS);
  EXPECT_EQ(table.Timeout(session), Millis{20000});
  EXPECT_EQ(table.SetAttribute(session, VI_ATTR_TMO_VALUE, 0x1'0000'0000ull),
            VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(table.SetAttribute(session, 0x3FFF0018, 1), VI_ERROR_NSUP_ATTR);
  EXPECT_EQ(table.SetAttribute(rm, VI_ATTR_TMO_VALUE, 1), VI_ERROR_NSUP_ATTR);
  EXPECT_EQ(table.Timeout(session), Millis{20000});
}

TEST(HandleTable, DescriptorsAreCutToTheBuffer) {
  std::array<ViChar, VI_FIND_BUFLEN + 8> buffer;
  buffer.fill('#');
  CopyDescriptor(std::string(400, 'x'), buffer.data());
  EXPECT_EQ(std::string(buffer.data()), std::string(VI_FIND_BUFLEN - 1, 'x'));
  EXPECT_EQ(buffer[VI_FIND_BUFLEN], '#');
}

TEST(HandleTable, BoundedCStringStopsAtTheLimit) {
  EXPECT_EQ(BoundedCString("abc", 3), "abc");
  EXPECT_FALSE(BoundedCString("abcd", 3).has_value());
  EXPECT_FALSE(BoundedCString(nullptr, 3).has_value());
}

}  // namespace
}  // namespace quorvel
