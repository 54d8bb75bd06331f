// pkcs11: URI parsing, formatting and percent coding. The formatted text is
// a provider's identity, so formats and messages are checked byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "buffer/sshbuf.h"
#include "common/bytes.h"
#include "common/capture_fd.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11-uri.h"

namespace {

using vardek::test::Bytes;
using vardek::test::capture_stderr;
using vardek::test::to_hex;

struct UriFree {
  void operator()(pkcs11_uri *u) const noexcept { pkcs11_uri_cleanup(u); }
};
using UriPtr = std::unique_ptr<pkcs11_uri, UriFree>;

struct Parsed {
  int r = 0;
  UriPtr uri;
  std::string log;  // what the parser logged at debug3
};

Parsed parse(const char *text) {
  Parsed p;
  p.uri.reset(pkcs11_uri_init());
  log_init_handler("uri_test", SSHLOG_DEBUG3, 1);
  p.log = capture_stderr([&] { p.r = pkcs11_uri_parse(text, p.uri.get()); });
  return p;
}

std::string get(const pkcs11_uri *u) {
  char *s = pkcs11_uri_get(u);
  EXPECT_NE(s, nullptr);
  std::string out = s != nullptr ? s : "";
  free(s);
  return out;
}

// The parser's log line for `msg`, as the logger prints it with -v.
std::string line(const std::string &msg) { return "pkcs11_uri_parse: " + msg + "\r\n"; }

// The same for a debug3 message, which the logger marks with its level.
std::string dbg(const std::string &msg) { return "debug3: " + line(msg); }

bool has_line(const std::string &log, const std::string &full_line) {
  return log.find(full_line) != std::string::npos;
}

const char *str(const char *s) { return s != nullptr ? s : "<none>"; }

std::string encode(const std::string &in, const char *allow) {
  sshbuf *b = percent_encode(in.data(), in.size(), allow);
  EXPECT_NE(b, nullptr);
  if (b == nullptr) return "<fail>";
  // The buffer holds the text and one NUL.
  EXPECT_EQ(sshbuf_ptr(b)[sshbuf_len(b) - 1], 0);
  std::string out(reinterpret_cast<const char *>(sshbuf_ptr(b)), sshbuf_len(b) - 1);
  sshbuf_free(b);
  return out;
}

constexpr char kPathSet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.()";
constexpr char kModuleSet[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.()/";

// --- Percent coding ----------------------------------------------------------

TEST(PercentDecode, DecodesEscapesAndCopiesTheRest) {
  char *out = nullptr;
  ASSERT_EQ(percent_decode("%41%42", &out), 2);
  EXPECT_STREQ(out, "AB");
  free(out);
  ASSERT_EQ(percent_decode("a%2fb%2F", &out), 4);
  EXPECT_STREQ(out, "a/b/");
  free(out);
  ASSERT_EQ(percent_decode("", &out), 0);
  EXPECT_STREQ(out, "");
  free(out);
  // NUL bytes and high bytes decode; a NUL terminator follows the data.
  ASSERT_EQ(percent_decode("x%00%e9", &out), 3);
  EXPECT_EQ(to_hex(reinterpret_cast<uint8_t *>(out), 4), "78 00 e9 00");
  free(out);
}

TEST(PercentDecode, RejectsTruncatedOrNonHexEscapes) {
  for (const char *bad : {"100%", "%4", "a%", "%zz", "%4g", "%g4", "ok%0x"}) {
    SCOPED_TRACE(bad);
    char *out = reinterpret_cast<char *>(0x1);  // must stay untouched
    EXPECT_EQ(percent_decode(bad, &out), -1);
    EXPECT_EQ(out, reinterpret_cast<char *>(0x1));
  }
}

TEST(PercentEncode, KeepsOnlyTheAllowedSet) {
  EXPECT_EQ(encode("a b", kPathSet), "a%20b");
  EXPECT_EQ(encode("a/b", kPathSet), "a%2Fb");
  EXPECT_EQ(encode("/usr/lib/p.so", kModuleSet), "/usr/lib/p.so");
  EXPECT_EQ(encode("Az09_-.()", kPathSet), "Az09_-.()");
  EXPECT_EQ(encode("AB", ""), "%41%42");
  EXPECT_EQ(encode("", kPathSet), "");
  // NUL is encoded under every set, high bytes always, hex in upper case.
  EXPECT_EQ(encode(std::string("a\0b", 3), kPathSet), "a%00b");
  EXPECT_EQ(encode(std::string("\0", 1), ""), "%00");
  EXPECT_EQ(encode("\xe9\xff;?%&=", kModuleSet), "%E9%FF%3B%3F%25%26%3D");
}

// --- Parsing -----------------------------------------------------------------

TEST(UriParse, SchemeIsCaseSensitiveNamesAreNot) {
  Parsed p = parse("pkcs11:");
  ASSERT_EQ(p.r, 0);
  const pkcs11_uri zero{};
  EXPECT_EQ(std::memcmp(p.uri.get(), &zero, sizeof zero), 0);
  EXPECT_EQ(get(p.uri.get()), "pkcs11:");

  p = parse("PKCS11:token=a");
  EXPECT_EQ(p.r, -1);
  EXPECT_EQ(p.log, line("The 'PKCS11:token=a' does not look like PKCS#11 URI"));
  EXPECT_EQ(p.uri->token_label, nullptr);
  p = parse("pkcs11");
  EXPECT_EQ(p.r, -1);
  EXPECT_EQ(p.log, line("The 'pkcs11' does not look like PKCS#11 URI"));

  p = parse("pkcs11:TOKEN=a;Object=b");
  ASSERT_EQ(p.r, 0);
  EXPECT_STREQ(str(p.uri->token_label), "a");
  EXPECT_STREQ(str(p.uri->object_label), "b");
}

TEST(UriParse, NullRecordIsRefusedAndCleanupIgnoresNull) {
  int r = 0;
  log_init_handler("uri_test", SSHLOG_DEBUG3, 1);
  std::string log = capture_stderr([&] {
    r = pkcs11_uri_parse("pkcs11:token=a", nullptr);
    pkcs11_uri_cleanup(nullptr);
  });
  EXPECT_EQ(r, -1);
  EXPECT_EQ(log, line("Bad arguments. The pkcs11 can't be null"));
}

TEST(UriParse, FullUriSetsPathAndQueryFields) {
  Parsed p = parse("pkcs11:token=My%20Token;id=%01%02?module-path=/usr/lib/p.so");
  ASSERT_EQ(p.r, 0);
  EXPECT_STREQ(str(p.uri->token_label), "My Token");
  ASSERT_EQ(p.uri->id_length, 2u);
  EXPECT_EQ(to_hex(p.uri->id, 3), "01 02 00");  // NUL-terminated copy
  EXPECT_STREQ(str(p.uri->module_path), "/usr/lib/p.so");
  EXPECT_EQ(p.log, dbg("Setting token = My Token from PKCS#11 URI") +
                       dbg("Setting CKA_ID = %01%02 from PKCS#11 URI") +
                       dbg("Setting PKCS11Provider = /usr/lib/p.so from PKCS#11 URI"));
  EXPECT_EQ(get(p.uri.get()), "pkcs11:id=%01%02;token=My%20Token?module-path=/usr/lib/p.so");
}

TEST(UriParse, RepeatedAttributesFail) {
  Parsed p = parse("pkcs11:object=a;object=b");
  EXPECT_EQ(p.r, -1);
  EXPECT_TRUE(has_line(p.log, line("The object already set in the PKCS#11 URI"))) << p.log;
  EXPECT_STREQ(str(p.uri->object_label), "a");  // kept for the caller to release

  p = parse("pkcs11:manufacturer=a;MANUFACTURER=b");
  EXPECT_EQ(p.r, -1);
  EXPECT_TRUE(has_line(p.log, line("The manufacturer already set in the PKCS#11 URI"))) << p.log;

  p = parse("pkcs11:id=%01;id=%02");
  EXPECT_EQ(p.r, -1);
  EXPECT_TRUE(has_line(p.log, line("The id already set in the PKCS#11 URI"))) << p.log;
  EXPECT_EQ(p.uri->id_length, 1u);

  p = parse("pkcs11:?module-path=/a&module-path=/b");
  EXPECT_EQ(p.r, -1);
  EXPECT_TRUE(
      has_line(p.log, line("Multiple module-path attributes arenot supported the PKCS#11 URI")))
      << p.log;
  EXPECT_STREQ(str(p.uri->module_path), "/a");

  p = parse("pkcs11:?pin-value=1&pin-value=2");
  EXPECT_EQ(p.r, -1);
  EXPECT_TRUE(
      has_line(p.log, line("Multiple pin-value attributes arenot supported the PKCS#11 URI")))
      << p.log;
}

TEST(UriParse, IdMustDecodeToAtLeastOneByte) {
  Parsed p = parse("pkcs11:id=");
  EXPECT_EQ(p.r, -1);
  EXPECT_EQ(p.log, line("Failed to percent-decode CKA_ID: "));
  EXPECT_EQ(p.uri->id, nullptr);
  p = parse("pkcs11:id=%zz");
  EXPECT_EQ(p.r, -1);
  EXPECT_EQ(p.log, line("Failed to percent-decode CKA_ID: %zz"));
  EXPECT_EQ(p.uri->id, nullptr);
  EXPECT_EQ(p.uri->id_length, 0u);
}

TEST(UriParse, UndecodableTextValueLeavesFieldUnset) {
  Parsed p = parse("pkcs11:token=%4;object=ok");
  ASSERT_EQ(p.r, 0);
  EXPECT_EQ(p.uri->token_label, nullptr);
  EXPECT_STREQ(str(p.uri->object_label), "ok");
  EXPECT_TRUE(has_line(p.log, dbg("Setting token = (null) from PKCS#11 URI"))) << p.log;
  // An empty value is a set, empty text.
  p = parse("pkcs11:token=");
  ASSERT_EQ(p.r, 0);
  EXPECT_STREQ(str(p.uri->token_label), "");
  EXPECT_EQ(get(p.uri.get()), "pkcs11:token=");
}

TEST(UriParse, UnknownPiecesAreLoggedAndSkipped) {
  Parsed p = parse("pkcs11:foo=bar;token=x");
  ASSERT_EQ(p.r, 0);
  EXPECT_STREQ(str(p.uri->token_label), "x");
  EXPECT_EQ(p.log, line("Unknown part of path in PKCS#11 URI: foo=bar") +
                       dbg("Setting token = x from PKCS#11 URI"));

  p = parse("pkcs11:?id=01");
  ASSERT_EQ(p.r, 0);
  EXPECT_EQ(p.uri->id, nullptr);
  EXPECT_EQ(p.log, line("Unknown part of query in PKCS#11 URI: id=01"));

  // Query attributes are not accepted in the path.
  p = parse("pkcs11:module-path=/m;pin-value=1");
  ASSERT_EQ(p.r, 0);
  EXPECT_EQ(p.uri->module_path, nullptr);
  EXPECT_EQ(p.uri->pin_value, nullptr);
  EXPECT_EQ(p.log, line("Unknown part of path in PKCS#11 URI: module-path=/m") +
                       line("Unknown part of path in PKCS#11 URI: pin-value=1"));
}

TEST(UriParse, BareAttributeNameIsAnUnknownPart) {
  // The value would start one past the end of the piece: never read there.
  Parsed p = parse("pkcs11:token");
  ASSERT_EQ(p.r, 0);
  EXPECT_EQ(p.uri->token_label, nullptr);
  EXPECT_EQ(p.log, line("Unknown part of path in PKCS#11 URI: token"));

  p = parse("pkcs11:id;object=o");
  ASSERT_EQ(p.r, 0);
  EXPECT_EQ(p.uri->id, nullptr);
  EXPECT_STREQ(str(p.uri->object_label), "o");

  p = parse("pkcs11:?module-path");
  ASSERT_EQ(p.r, 0);
  EXPECT_EQ(p.uri->module_path, nullptr);
  EXPECT_EQ(p.log, line("Unknown part of query in PKCS#11 URI: module-path"));

  p = parse("pkcs11:object=a?pin-value&module-path=/m");
  ASSERT_EQ(p.r, 0);
  EXPECT_EQ(p.uri->pin_value, nullptr);
  EXPECT_STREQ(str(p.uri->module_path), "/m");
}

TEST(UriParse, SeparatorsAndExtraQuestionMarks) {
  Parsed p = parse("pkcs11:;;token=a;;?&&module-path=/m&&");
  ASSERT_EQ(p.r, 0);
  EXPECT_STREQ(str(p.uri->token_label), "a");
  EXPECT_STREQ(str(p.uri->module_path), "/m");
  EXPECT_EQ(p.log, dbg("Setting token = a from PKCS#11 URI") +
                       dbg("Setting PKCS11Provider = /m from PKCS#11 URI"));

  // Further "?" right after the first are skipped; a later one ends the query.
  p = parse("pkcs11:token=a???module-path=/m?pin-value=1");
  ASSERT_EQ(p.r, 0);
  EXPECT_STREQ(str(p.uri->module_path), "/m");
  EXPECT_EQ(p.uri->pin_value, nullptr);

  p = parse("pkcs11:token=a?");
  ASSERT_EQ(p.r, 0);
  EXPECT_EQ(get(p.uri.get()), "pkcs11:token=a");
}

TEST(UriParse, PinIsStoredButNeverLoggedNorFormatted) {
  Parsed p = parse("pkcs11:?pin-value=s3cr%65t");
  ASSERT_EQ(p.r, 0);
  EXPECT_STREQ(str(p.uri->pin_value), "s3cret");
  EXPECT_EQ(p.log, dbg("Setting PIN from PKCS#11 URI"));
  EXPECT_EQ(get(p.uri.get()), "pkcs11:");
}

TEST(UriParse, LibraryManufacturerIsParsedButNotFormatted) {
  Parsed p = parse("pkcs11:library-manufacturer=X;manufacturer=Y");
  ASSERT_EQ(p.r, 0);
  EXPECT_STREQ(str(p.uri->library_manufacturer), "X");
  EXPECT_STREQ(str(p.uri->manufacturer), "Y");
  EXPECT_EQ(p.log, dbg("Setting library-manufacturer = X from PKCS#11 URI") +
                       dbg("Setting manufacturer = Y from PKCS#11 URI"));
  EXPECT_EQ(get(p.uri.get()), "pkcs11:manufacturer=Y");
}

// A piece only has to start with a name; the character after it is taken as
// the "=" without being checked.
TEST(UriParse, NameIsMatchedAsAPrefix) {
  Parsed p = parse("pkcs11:tokenXab;idZ%01");
  ASSERT_EQ(p.r, 0);
  EXPECT_STREQ(str(p.uri->token_label), "ab");
  EXPECT_EQ(p.uri->id_length, 1u);
}

// --- Formatting ----------------------------------------------------------------

TEST(UriGet, FixedOrderAndEncoding) {
  pkcs11_uri u{};
  unsigned char id[] = {0x00, 0xab, 'A'};
  u.id = id;
  u.id_length = sizeof id;
  u.token_label = const_cast<char *>("t/1");
  u.object_label = const_cast<char *>("My key");
  u.manufacturer = const_cast<char *>("ACME;Inc");
  u.library_manufacturer = const_cast<char *>("Lib");
  u.module_path = const_cast<char *>("/opt/my lib/p11.so");
  u.pin_value = const_cast<char *>("1234");
  EXPECT_EQ(get(&u),
            "pkcs11:id=%00%AB%41;object=My%20key;token=t%2F1;manufacturer=ACME%3BInc"
            "?module-path=/opt/my%20lib/p11.so");

  pkcs11_uri q{};
  q.module_path = const_cast<char *>("/m.so");
  EXPECT_EQ(get(&q), "pkcs11:?module-path=/m.so");
  pkcs11_uri t{};
  t.manufacturer = const_cast<char *>("M");
  EXPECT_EQ(get(&t), "pkcs11:manufacturer=M");
  // id bytes are used up to id_length only.
  pkcs11_uri i{};
  i.id = id;
  i.id_length = 0;
  EXPECT_EQ(get(&i), "pkcs11:");
}

TEST(UriGet, EquivalentTextsGiveOneIdentity) {
  Parsed a = parse("pkcs11:token=A;object=B?module-path=/m");
  Parsed b = parse("pkcs11:OBJECT=%42;;Token=A;unknown=1?pin-value=9&module-path=%2Fm");
  ASSERT_EQ(a.r, 0);
  ASSERT_EQ(b.r, 0);
  EXPECT_EQ(get(a.uri.get()), "pkcs11:object=B;token=A?module-path=/m");
  EXPECT_EQ(get(b.uri.get()), get(a.uri.get()));
}

// --- Round trips ----------------------------------------------------------------

void expect_same_record(const pkcs11_uri &a, const pkcs11_uri &b) {
  ASSERT_EQ(a.id_length, b.id_length);
  if (a.id_length > 0) {
    EXPECT_EQ(std::memcmp(a.id, b.id, a.id_length), 0);
  }
  EXPECT_STREQ(str(a.token_label), str(b.token_label));
  EXPECT_STREQ(str(a.object_label), str(b.object_label));
  EXPECT_STREQ(str(a.manufacturer), str(b.manufacturer));
  EXPECT_STREQ(str(a.module_path), str(b.module_path));
}

TEST(UriRoundTrip, ParseFormatParseKeepsTheRecord) {
  const char *uris[] = {
      "pkcs11:",
      "pkcs11:id=%00",
      "pkcs11:id=%00%01%FF%7f;object=a%20b;token=%C3%A9t%C3%A9;manufacturer=%3B%3F%26",
      "pkcs11:token=x%00y",  // a text value stops at a decoded NUL
      "pkcs11:object=;token=",
      "pkcs11:library-manufacturer=L?pin-value=p&module-path=/a%20b/c%3Fd.so",
      "pkcs11:id=%4142;token=slash/and%2Fescaped",
      "pkcs11:?module-path=",
  };
  for (const char *text : uris) {
    SCOPED_TRACE(text);
    Parsed first = parse(text);
    ASSERT_EQ(first.r, 0);
    std::string formatted = get(first.uri.get());
    Parsed second = parse(formatted.c_str());
    ASSERT_EQ(second.r, 0) << formatted;
    expect_same_record(*first.uri, *second.uri);
    EXPECT_EQ(second.uri->library_manufacturer, nullptr);
    EXPECT_EQ(second.uri->pin_value, nullptr);
    EXPECT_EQ(get(second.uri.get()), formatted);
  }
}

TEST(UriRoundTrip, EveryByteOfAnIdSurvives) {
  pkcs11_uri u{};
  unsigned char id[256];
  for (int i = 0; i < 256; i++) id[i] = static_cast<unsigned char>(i);
  u.id = id;
  u.id_length = sizeof id;
  std::string text = get(&u);
  EXPECT_EQ(text.size(), std::strlen("pkcs11:id=") + 3 * 256);
  Parsed p = parse(text.c_str());
  ASSERT_EQ(p.r, 0);
  ASSERT_EQ(p.uri->id_length, 256u);
  EXPECT_EQ(std::memcmp(p.uri->id, id, 256), 0);
}

}  // namespace
