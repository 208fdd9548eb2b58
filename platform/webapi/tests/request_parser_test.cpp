// Request decoding: form encoding, JSON values, the fields that choose the
// entry, and the UI language.
#include <gtest/gtest.h>

#include "request_parser.h"

using namespace TAVO;
using namespace TAVO::Host;

TEST(PercentDecode, DecodesEscapesPlusAndKeepsMalformedEscapes) {
    std::string out;
    ASSERT_TRUE(PercentDecode("a%20b+c%2Bd%2fe", out));
    EXPECT_EQ("a b c+d/e", out);
    ASSERT_TRUE(PercentDecode("%e2%82%AC", out));
    EXPECT_EQ("\xe2\x82\xac", out);
    // Not two hex digits after '%': the text stays as it is.
    ASSERT_TRUE(PercentDecode("100%", out));
    EXPECT_EQ("100%", out);
    ASSERT_TRUE(PercentDecode("%zz%4", out));
    EXPECT_EQ("%zz%4", out);
    ASSERT_TRUE(PercentDecode("%%41", out));
    EXPECT_EQ("%A", out);
}

TEST(PercentDecode, RefusesNulByte) {
    std::string out;
    EXPECT_FALSE(PercentDecode("/volume1/a%00/../../etc", out));
    EXPECT_FALSE(PercentDecode("%00", out));
}

TEST(ParseUrlEncoded, SplitsFieldsAndSkipsEmptyPieces) {
    FieldList fields;
    ASSERT_TRUE(ParseUrlEncoded("a=1&&b=x%3Dy&flag&=v&c=", fields));
    ASSERT_EQ(5u, fields.size());
    EXPECT_EQ(Field("a", "1"), fields[0]);
    EXPECT_EQ(Field("b", "x=y"), fields[1]);
    EXPECT_EQ(Field("flag", ""), fields[2]);
    EXPECT_EQ(Field("", "v"), fields[3]);
    EXPECT_EQ(Field("c", ""), fields[4]);

    FieldList none;
    ASSERT_TRUE(ParseUrlEncoded("", none));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(ParseUrlEncoded("a=1&path=%00", none));
    EXPECT_FALSE(ParseUrlEncoded("na%00me=1", none));
}

TEST(ParseParamValue, JsonTextBecomesItsValue) {
    EXPECT_EQ(Json::Value(0), ParseParamValue("0"));
    EXPECT_TRUE(ParseParamValue("-12").isIntegral());
    EXPECT_EQ(Json::Value(true), ParseParamValue("true"));
    EXPECT_TRUE(ParseParamValue("null").isNull());
    EXPECT_EQ(Json::Value("abc"), ParseParamValue("\"abc\""));
    Json::Value arr = ParseParamValue("[\"/volume1/a\", 2]");
    ASSERT_TRUE(arr.isArray());
    EXPECT_EQ("/volume1/a", arr[0].asString());
    Json::Value obj = ParseParamValue(" {\"virusAction\":\"do_nothing\",\"n\":{\"x\":[]}} ");
    ASSERT_TRUE(obj.isObject());
    EXPECT_EQ("do_nothing", obj["virusAction"].asString());
}

TEST(ParseParamValue, OtherTextIsAString) {
    for (const char* text : {"abc", "", "1 2", "[1]x", "{'a':1}", "[1,]", "tru", "/volume1/a",
                             "01x", "\"unterminated"}) {
        Json::Value v = ParseParamValue(text);
        ASSERT_TRUE(v.isString()) << text;
        EXPECT_EQ(text, v.asString());
    }
}

TEST(Language, FirstAcceptLanguageTag) {
    EXPECT_EQ("de-DE", FirstAcceptLanguage("de-DE,de;q=0.9,en;q=0.8"));
    EXPECT_EQ("fr", FirstAcceptLanguage(" fr ;q=1"));
    EXPECT_EQ("", FirstAcceptLanguage(""));
    EXPECT_EQ("", FirstAcceptLanguage("*"));
    EXPECT_EQ("", FirstAcceptLanguage("de\nX: y"));
}

TEST(ParseCall, SplitsEntryFieldsFromParameters) {
    FieldList fields;
    ASSERT_TRUE(
        ParseUrlEncoded("api=TAVO.AntiVirus.Scan&version=1&method=start_custom&scanTarget=%5B%22%"
                        "2Fvolume1%2Fa%22%5D&task_id=abc",
                        fields));
    ParsedCall call = ParseCall(fields, "");
    EXPECT_EQ(0, call.errorCode);
    EXPECT_EQ("TAVO.AntiVirus.Scan", call.api);
    EXPECT_EQ(1, call.version);
    EXPECT_EQ("start_custom", call.method);
    EXPECT_FALSE(call.request.HasParam("api"));
    EXPECT_FALSE(call.request.HasParam("version"));
    EXPECT_FALSE(call.request.HasParam("method"));
    Json::Value target = call.request.GetParam("scanTarget", Json::Value());
    ASSERT_TRUE(target.isArray());
    EXPECT_EQ("/volume1/a", target[0].asString());
    EXPECT_EQ(Json::Value("abc"), call.request.GetParam("task_id", Json::Value()));
    EXPECT_EQ("en", call.request.GetUILanguage());
}

TEST(ParseCall, LaterFieldReplacesEarlier) {
    ParsedCall call = ParseCall(
        {{"api", "A"}, {"version", "1"}, {"method", "m"}, {"x", "1"}, {"x", "2"}, {"method", "n"}},
        "");
    EXPECT_EQ("n", call.method);
    EXPECT_EQ(Json::Value(2), call.request.GetParam("x", Json::Value()));
}

TEST(ParseCall, MissingOrMalformedEntryFieldsAre101) {
    const FieldList base{{"api", "A"}, {"version", "1"}, {"method", "m"}};
    for (const char* name : {"api", "version", "method"}) {
        FieldList fields;
        for (const Field& f : base)
            if (f.first != name) fields.push_back(f);
        EXPECT_EQ(WEBAPI_ERR_BAD_REQUEST, ParseCall(fields, "").errorCode) << name;
    }
    for (const char* version : {"", "x", "1.0", "1x", " 1", "99999999999", "0x1"}) {
        ParsedCall call = ParseCall({{"api", "A"}, {"version", version}, {"method", "m"}}, "");
        EXPECT_EQ(WEBAPI_ERR_BAD_REQUEST, call.errorCode) << version;
    }
    EXPECT_EQ(WEBAPI_ERR_BAD_REQUEST,
              ParseCall({{"api", ""}, {"version", "1"}, {"method", "m"}}, "").errorCode);
    EXPECT_EQ(WEBAPI_ERR_BAD_REQUEST,
              ParseCall({{"api", "A"}, {"version", "1"}, {"method", ""}}, "").errorCode);
    ParsedCall negative = ParseCall({{"api", "A"}, {"version", "-3"}, {"method", "m"}}, "");
    EXPECT_EQ(0, negative.errorCode);
    EXPECT_EQ(-3, negative.version);
}

TEST(ParseCall, LanguageFromLangFieldThenHeaderThenEnglish) {
    const FieldList base{{"api", "A"}, {"version", "1"}, {"method", "m"}};
    FieldList withLang = base;
    withLang.emplace_back("lang", "ger");
    ParsedCall call = ParseCall(withLang, "fr-FR,fr");
    EXPECT_EQ("ger", call.request.GetUILanguage());
    // "lang" stays readable as a parameter too.
    EXPECT_EQ(Json::Value("ger"), call.request.GetParam("lang", Json::Value()));

    EXPECT_EQ("fr-FR", ParseCall(base, "fr-FR,fr").request.GetUILanguage());
    EXPECT_EQ("en", ParseCall(base, "").request.GetUILanguage());

    FieldList badLang = base;
    badLang.emplace_back("lang", "x\ny");
    EXPECT_EQ("it", ParseCall(badLang, "it").request.GetUILanguage());
    EXPECT_FALSE(ParseCall(base, "it").request.HasParam("lang"));
}

// --- values the host refuses before any plug-in sees them --------------------

namespace {

std::string Nested(int levels, const std::string& inner = "") {
    return std::string(levels, '[') + inner + std::string(levels, ']');
}

ParsedCall CallWith(const std::string& name, const std::string& value) {
    return ParseCall({{"api", "A"}, {"version", "1"}, {"method", "m"}, {name, value}}, "");
}

}  // namespace

TEST(ParseParamValue, DepthUpToTheLimitIsRead) {
    Json::Value value;
    std::string why;
    ASSERT_TRUE(ParseParamValue(Nested(kMaxParamDepth), value, why)) << why;
    EXPECT_TRUE(value.isArray());
    EXPECT_EQ("", why);
    // A scalar inside counts as a level.
    ASSERT_TRUE(ParseParamValue(Nested(kMaxParamDepth - 1, "1"), value, why)) << why;
    std::string objects;
    for (int i = 1; i < kMaxParamDepth; ++i) objects += "{\"a\":";
    objects += "{}" + std::string(kMaxParamDepth - 1, '}');
    ASSERT_TRUE(ParseParamValue(objects, value, why)) << why;
    EXPECT_TRUE(value.isObject());
}

TEST(ParseParamValue, DeeperNestingIsRefusedNotThrown) {
    for (const std::string& text :
         {Nested(kMaxParamDepth + 1), Nested(kMaxParamDepth, "1"), Nested(1000), Nested(1001),
          Nested(100000, "\"x\""), std::string(5000, '[')}) {
        Json::Value value(7);
        std::string why;
        EXPECT_FALSE(ParseParamValue(text, value, why)) << text.size();
        EXPECT_TRUE(value.isNull());
        EXPECT_NE(std::string::npos, why.find("JSON value refused")) << why;
    }
    std::string objects;
    for (int i = 0; i < 2000; ++i) objects += "{\"a\":";
    Json::Value value;
    std::string why;
    EXPECT_FALSE(ParseParamValue(objects + "1" + std::string(2000, '}'), value, why));
    // The one-argument form gives null for a refused value.
    EXPECT_TRUE(ParseParamValue(Nested(2000)).isNull());
}

TEST(ParseParamValue, NulFromAnEscapeIsRefusedAnywhere) {
    for (const char* text :
         {"\"a\\u0000b\"", "[\"/volume1/a\\u0000b\"]", "\"\\u0000\"", "[1,[2,[\"x\\u0000\"]]]",
          "{\"a\":\"b\\u0000\"}", "{\"a\\u0000b\":1}", "[{\"k\":{\"\\u0000\":[]}}]"}) {
        Json::Value value;
        std::string why;
        EXPECT_FALSE(ParseParamValue(text, value, why)) << text;
        EXPECT_EQ("JSON value holds a NUL character", why) << text;
        EXPECT_TRUE(value.isNull()) << text;
    }
    // Escapes of other characters are read; text that is no JSON stays as it is.
    Json::Value value;
    std::string why;
    ASSERT_TRUE(ParseParamValue("[\"a\\u0001b\\r\\n\", \"\\u00e4\"]", value, why)) << why;
    EXPECT_EQ(
        "a\x01"
        "b\r\n",
        value[0].asString());
    EXPECT_EQ("\xc3\xa4", value[1].asString());
    ASSERT_TRUE(ParseParamValue("/volume1/a\\u0000b", value, why));
    EXPECT_EQ("/volume1/a\\u0000b", value.asString());
}

TEST(ParseParamValue, HugeValuesAreRead) {
    Json::Value value;
    std::string why;
    const std::string longText(4 << 20, 'x');
    ASSERT_TRUE(ParseParamValue("[\"" + longText + "\"]", value, why)) << why;
    EXPECT_EQ(longText, value[0].asString());
    ASSERT_TRUE(ParseParamValue(longText, value, why));
    EXPECT_EQ(longText, value.asString());
    std::string many = "[0";
    for (int i = 1; i < 100000; ++i) many += ",1";
    ASSERT_TRUE(ParseParamValue(many + "]", value, why)) << why;
    EXPECT_EQ(100000u, value.size());
    // A number past every range is no JSON number: it stays text.
    const std::string digits(5000, '9');
    ASSERT_TRUE(ParseParamValue("1e" + digits, value, why));
    EXPECT_TRUE(value.isString());
}

TEST(ParseCall, RefusedParameterIs101WithTheReason) {
    ParsedCall deep = CallWith("scanTarget", Nested(1000));
    EXPECT_EQ(WEBAPI_ERR_BAD_REQUEST, deep.errorCode);
    EXPECT_NE(std::string::npos, deep.errorText.find("parameter scanTarget: JSON value refused"))
        << deep.errorText;

    ParsedCall nul = CallWith("scanTarget", "[\"/volume1/a\\u0000b\"]");
    EXPECT_EQ(WEBAPI_ERR_BAD_REQUEST, nul.errorCode);
    EXPECT_EQ("parameter scanTarget: JSON value holds a NUL character", nul.errorText);
    EXPECT_FALSE(nul.request.HasParam("scanTarget"));

    ParsedCall key = CallWith("config", "{\"virusAction\\u0000x\":\"do_nothing\"}");
    EXPECT_EQ(WEBAPI_ERR_BAD_REQUEST, key.errorCode);

    EXPECT_EQ(0, CallWith("scanTarget", Nested(kMaxParamDepth)).errorCode);
    EXPECT_EQ(0, CallWith("extension", "\"e\\u0001x\"").errorCode);
}
