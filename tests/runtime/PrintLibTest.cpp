// The format engine against literal expected texts: conversions, flags, status names, line ends
// and the buffer contract the debug log relies on.
#include <Library/PrintLib.h>

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <string>

namespace {

// Formats into a roomy buffer and checks that the result is the length of what was written.
std::string Print(const char* Format, ...) {
  char Buffer[256];
  memset(Buffer, 0x5A, sizeof(Buffer));
  va_list Marker;
  va_start(Marker, Format);
  UINTN Written = AsciiVSPrint(Buffer, sizeof(Buffer), Format, Marker);
  va_end(Marker);
  EXPECT_EQ(Written, strlen(Buffer)) << Format;
  return std::string(Buffer);
}

#define EXPECT_PRINT(Expected, ...) EXPECT_EQ(Print(__VA_ARGS__), Expected) << #__VA_ARGS__

TEST(PrintLibTest, DecimalTakesThe32BitSlotUnlessLong) {
  EXPECT_PRINT("0 -1 2147483647 -2147483648", "%d %d %d %d", 0, -1, INT32_MAX, INT32_MIN);
  EXPECT_PRINT("4294967295", "%u", -1);
  EXPECT_PRINT("9", "%d", EFI_OUT_OF_RESOURCES);
  EXPECT_PRINT("705032704 5000000000", "%d %ld", 5000000000LL, 5000000000LL);
  EXPECT_PRINT("-9223372036854775808", "%ld", INT64_MIN);
  EXPECT_PRINT("18446744073709551615 18446744073709551615", "%lu %llu", UINT64_MAX, UINT64_MAX);
  EXPECT_PRINT("-7", "%Ld", -7LL);
}

TEST(PrintLibTest, WidthZeroPaddingAndPrecision) {
  EXPECT_PRINT("005|-05|12345", "%03d|%03d|%03d", 5, -5, 12345);
  EXPECT_PRINT("   42|42   |42   |", "%5d|%-5d|%-05d|", 42, 42, 42);
  EXPECT_PRINT("007|-007|  -007|   007", "%.3d|%.3d|%6.3d|%06.3d", 7, -7, -7, 7);
  EXPECT_PRINT("+5|-5| 5|+5", "%+d|%+d|% d|%+ d", 5, -5, 5, 5);
  EXPECT_PRINT("[]|[10]", "[%.0d]|[%.0d]", 0, 10);
  EXPECT_PRINT("   42|42   |42   |   007", "%*d|%-*d|%*d|%*.*d", 5, 42, 5, 42, -5, 42, 6, 3, 7);
}

TEST(PrintLibTest, HexIsUpperCaseAndCapitalXPads) {
  EXPECT_PRINT("BEEF BEEF", "%x %X", 0xbeef, 0xbeef);
  EXPECT_PRINT("      1F|0000001F|0000001F|1F      |001F", "%8x|%8X|%08x|%-8X|%.4x", 0x1F, 0x1F,
               0x1F, 0x1F, 0x1F);
  EXPECT_PRINT("FFFFFFFF 23456789", "%x %x", -1, 0x123456789ULL);
  EXPECT_PRINT("DEADBEEFCAFEF00D DEADBEEFCAFEF00D 0000DEADBEEFCAFEF00D", "%lx %llX %20lX",
               0xDEADBEEFCAFEF00DULL, 0xDEADBEEFCAFEF00DULL, 0xDEADBEEFCAFEF00DULL);
  // %p is %lX without a prefix: as many digits as the value needs unless a width asks for more.
  EXPECT_PRINT("1234 FFFF800012345678 0000000000001234", "%p %p %16p", (void*)0x1234,
               (void*)0xFFFF800012345678ULL, (void*)0x1234);
}

TEST(PrintLibTest, StringsAndCharacters) {
  const char Unterminated[2] = {'a', 'b'};
  EXPECT_PRINT("abc|  abc|abc  |ab|ab", "%a|%5a|%-5a|%.2a|%.2a", "abc", "abc", "abc", "abcdef",
               Unterminated);
  EXPECT_PRINT("cd|abcdef", "%.*a|%.*a", 2, "cdef", -1, "abcdef");
  EXPECT_PRINT("<null string>|<null string>", "%a|%s", (const char*)nullptr,
               (const char16_t*)nullptr);
  // CHAR16 text prints each character's low byte; a zero low byte cannot be written and ends it.
  EXPECT_PRINT("Wide|AB|X", "%s|%s|%s", u"Wide", u"\u0141B", u"X\u0100Y");
  EXPECT_PRINT("Z|A|  Z|", "%c|%c|%3c|%c", 'Z', 0x141, 'Z', 0);
  EXPECT_PRINT("[ERROR][UEFI]", "[%a][UEFI]", "ERROR");
}

TEST(PrintLibTest, StatusNames) {
  EXPECT_PRINT("Success|Warning Unknown Glyph|Warning Stale Data|Warning Reset Required",
               "%r|%r|%r|%r", EFI_SUCCESS, EFI_WARN_UNKNOWN_GLYPH, EFI_WARN_STALE_DATA,
               EFI_WARN_RESET_REQUIRED);
  EXPECT_PRINT("Load Error|Invalid Parameter|Out of Resources|Media changed|No mapping",
               "%r|%r|%r|%r|%r", EFI_LOAD_ERROR, EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES,
               EFI_MEDIA_CHANGED, EFI_NO_MAPPING);
  EXPECT_PRINT("End of Media|Reserved (29)|Reserved (30)|End of File|HTTP Error", "%r|%r|%r|%r|%r",
               EFI_END_OF_MEDIA, EncodeError(29), EncodeError(30), EFI_END_OF_FILE, EFI_HTTP_ERROR);
  // Unknown statuses keep all 64 bits, the error bit included.
  EXPECT_PRINT("0000000000000008|8000000000000024|8000000000000000|7FFFFFFF00000003", "%r|%r|%r|%r",
               EFI_STATUS{8}, EncodeError(36), EFI_ERROR_BIT, EFI_STATUS{0x7FFFFFFF00000003});
  EXPECT_PRINT("Success   |   Success|Out", "%-10r|%10r|%.3r", EFI_SUCCESS, EFI_SUCCESS,
               EFI_OUT_OF_RESOURCES);
}

TEST(PrintLibTest, Guids) {
  const EFI_GUID Guid = {
      0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}};
  const EFI_GUID Lower = {
      0xabcdef01, 0xabcd, 0xef01, {0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89}};
  EXPECT_PRINT("12345678-9ABC-DEF0-0102-030405060708", "%g", &Guid);
  EXPECT_PRINT("ABCDEF01-ABCD-EF01-ABCD-EF0123456789", "%g", &Lower);
  EXPECT_PRINT("<null guid>", "%g", (const EFI_GUID*)nullptr);
}

TEST(PrintLibTest, PercentUnknownAndCutConversions) {
  EXPECT_PRINT("100%", "100%%");
  EXPECT_PRINT("q7|y", "%q%d|%y", 7);
  EXPECT_PRINT("abc", "abc%");
  EXPECT_PRINT("abc", "abc%-08.3l");
}

TEST(PrintLibTest, FormatLineEndsBecomeCrLf) {
  EXPECT_PRINT("a\r\nb|\r\n|\r\n|\r\n\r\n", "a\nb|\n\r|\r\n|\n\n");
  EXPECT_PRINT("a\rb", "a\rb");
  EXPECT_PRINT("x\ny\n\r\r\n", "%a\r\n", "x\ny\n\r");
}

TEST(PrintLibTest, BufferContract) {
  char Buffer[16];
  memset(Buffer, 'X', sizeof(Buffer));
  EXPECT_EQ(AsciiSPrint(Buffer, 4, "Hello %d", 1), 3u);
  EXPECT_STREQ(Buffer, "Hel");
  EXPECT_EQ(Buffer[4], 'X');

  EXPECT_EQ(AsciiSPrint(Buffer, 3, "A\nB"), 2u);
  EXPECT_STREQ(Buffer, "A\r");

  memset(Buffer, 'X', sizeof(Buffer));
  EXPECT_EQ(AsciiSPrint(Buffer, 1, "Hello"), 0u);
  EXPECT_EQ(Buffer[0], '\0');
  EXPECT_EQ(Buffer[1], 'X');

  memset(Buffer, 'X', sizeof(Buffer));
  EXPECT_EQ(AsciiSPrint(Buffer, 0, "Hello"), 0u);
  EXPECT_EQ(Buffer[0], 'X');
  EXPECT_EQ(AsciiSPrint(nullptr, 16, "Hello"), 0u);
  EXPECT_EQ(AsciiSPrint(Buffer, sizeof(Buffer), nullptr), 0u);
  EXPECT_EQ(Buffer[0], '\0');

  // Huge fields end with the buffer instead of running their full length.
  EXPECT_EQ(AsciiSPrint(Buffer, 8, "%2000000000d", 1), 7u);
  EXPECT_STREQ(Buffer, "       ");
  EXPECT_EQ(AsciiSPrint(Buffer, 8, "%.*d|%99999999999999999999a", 2000000000, 1, "s"), 7u);
  EXPECT_STREQ(Buffer, "0000000");
}

TEST(PrintLibTest, AsciiStrLen) {
  EXPECT_EQ(AsciiStrLen("abc"), 3u);
  EXPECT_EQ(AsciiStrLen(""), 0u);
  EXPECT_EQ(AsciiStrLen(nullptr), 0u);
}

} // namespace
