// Counted strings and GUIDs.
#include "fixture.h"

namespace {

using kt::KernelTest;

TEST_F(KernelTest, AnsiToUnicodeAllocatesFromPagedPoolAndRoundTrips) {
    char text[32];
    std::snprintf(text, sizeof text, "\\Device\\RERAREV-%d", 1);
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, text);
    EXPECT_EQ(ansi.Length, 17);
    EXPECT_EQ(ansi.MaximumLength, 18);
    UNICODE_STRING wide;
    std::size_t before = kernel::PoolBlocks().size();
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(wide.Length, 34);
    EXPECT_EQ(wide.Buffer[17], 0);
    EXPECT_EQ(kernel::PoolBlocks().back().type, PagedPool);
    EXPECT_EQ(kernel::ToUtf8(&wide), "\\Device\\RERAREV-1");

    ANSI_STRING back;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), text);
    RtlFreeAnsiString(&back);
    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);
    EXPECT_EQ(kernel::PoolBlocks().size(), before);

    WCHAR small[4];
    UNICODE_STRING fixed{0, sizeof small, small};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(fixed.Length, 0) << "nothing is written on overflow";
}

TEST_F(KernelTest, CompareAndCopyCountedStrings) {
    kt::Name a("\\PIPE1"), b("\\pipe1"), c("\\PIPE12");
    EXPECT_FALSE(RtlEqualUnicodeString(a.get(), b.get(), FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(a.get(), b.get(), TRUE));
    EXPECT_LT(RtlCompareUnicodeString(a.get(), c.get(), FALSE), 0);
    WCHAR storage[5];
    UNICODE_STRING dest{0, sizeof storage, storage};
    RtlCopyUnicodeString(&dest, c.get());
    EXPECT_EQ(dest.Length, sizeof storage) << "a copy stops at the destination's size";
    EXPECT_EQ(kernel::ToUtf8(&dest), "\\PIPE");
    EXPECT_EQ(RtlCompareMemory("abcd", "abXd", 4), 2u);
}

TEST_F(KernelTest, GuidStringIsTheRegistryForm) {
    const GUID guid = {0x5B1E7C30, 0x2A94, 0x4D6F, {0x8E, 0x21, 0xC7, 0xF0, 0x3B, 0x9A, 0x6D, 0x48}};
    UNICODE_STRING text;
    ASSERT_EQ(RtlStringFromGUID(guid, &text), STATUS_SUCCESS);
    EXPECT_EQ(kernel::ToUtf8(&text), "{5B1E7C30-2A94-4D6F-8E21-C7F03B9A6D48}");
    RtlFreeUnicodeString(&text);
    EXPECT_TRUE(IsEqualGUID(guid, guid));
}

}  // namespace
