#include <gtest/gtest.h>
#include <simdjson.h>

#include <cerrno>

#include "test_support.hpp"
#include "util/panic.hpp"

using namespace orvelle;

namespace {

std::string message_of(void (*f)()) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message();
    }
    return "<no panic>";
}

}  // namespace

// Every failure form against the reference panic texts.
TEST(Panic, MessageFormsMatchReferenceTexts) {
    simdjson::dom::parser parser;
    auto doc = parser.load(test::shared_dir() + "/golden/std_messages.json");
    std::map<std::string, std::string> ref;
    for (auto p : doc["panics"].get_array()) {
        ref[std::string(p["label"].get_string().value())] = std::string(p["payload"].get_string().value());
    }
    EXPECT_EQ(message_of([] { unwrap_none(); }), ref.at("Option::unwrap on None"));
    EXPECT_EQ(message_of([] { assert_eq_failed(512, 768, "center1 and center2 should have the same length"); }),
              ref.at("assert_eq! with message"));
    EXPECT_EQ(message_of([] { assert_eq_failed(3, 2); }), ref.at("assert_eq! without message"));
    EXPECT_EQ(message_of([] { index_out_of_bounds(0, 0); }), ref.at("index 0 of an empty Vec"));
    EXPECT_EQ(message_of([] { index_out_of_bounds(3, 5); }), ref.at("index 5 of a Vec of 3"));
    EXPECT_EQ(message_of([] { panic("The space is empty!"); }), ref.at("panic! with a text"));
    EXPECT_EQ(message_of([] { unwrap_failed("Error(\"EOF while parsing a value\", line: 1, column: 3)"); }),
              ref.at("Result::unwrap on a serde_json error"));
    EXPECT_EQ(message_of([] { os_failed(ENOENT); }), ref.at("File::open of a missing file, unwrapped"));
    EXPECT_EQ(message_of([] { os_failed(EISDIR); }), ref.at("File::create on a directory, unwrapped"));
    EXPECT_EQ(message_of([] { unwrap_failed(simple_error_debug("InvalidInput", kNulInPath)); }),
              ref.at("File::create with a NUL in the path, unwrapped"));
    EXPECT_EQ(message_of([] { unwrap_failed(simple_error_debug("WriteZero", kWriteZero)); }),
              ref.at("write_all to a writer that accepts 0 bytes, unwrapped"));
    EXPECT_EQ(message_of([] { unwrap_failed(simple_error_debug("InvalidData", kInvalidUtf8)); }),
              ref.at("read_to_string of invalid UTF-8, unwrapped"));
    EXPECT_EQ(os_error_debug(ENOSPC), ref.at("write_all to a full device: Debug of the error"));
}

TEST(Panic, ErrorKindNames) {
    const std::pair<int, const char*> cases[] = {
        {ENOENT, "NotFound"},        {EACCES, "PermissionDenied"}, {EPERM, "PermissionDenied"},
        {EISDIR, "IsADirectory"},    {ENOTDIR, "NotADirectory"},   {ENOSPC, "StorageFull"},
        {EEXIST, "AlreadyExists"},   {EROFS, "ReadOnlyFilesystem"}, {ENAMETOOLONG, "InvalidFilename"},
        {EINVAL, "InvalidInput"},    {EIO, "Uncategorized"},
    };
    for (auto [code, name] : cases) EXPECT_EQ(error_kind_name(code), name) << code;
}

TEST(Panic, AtChecksBounds) {
    std::vector<int> v{1, 2, 3};
    EXPECT_EQ(at(v, 2), 3);
    try {
        at(v, 3);
        FAIL();
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "index out of bounds: the len is 3 but the index is 3");
    }
}
