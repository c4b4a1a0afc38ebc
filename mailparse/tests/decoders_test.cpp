#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "mailparse/SAData.h"
#include "mailparse/SADecoderFactory.h"
#include "mailparse/SARef.h"

namespace {

using BufferDecoder = int (*)(const unsigned char*, unsigned long, unsigned char**, unsigned long*);
using ObjectDecoder = SAData* (*)(const SAData*);

// Runs a buffer decoder on `input` copied into a buffer of exactly its size,
// so that any read past the end is caught by the address sanitizer.
std::optional<std::string> decode(BufferDecoder decoder, const std::string& input) {
    std::vector<unsigned char> exact(input.begin(), input.end());
    unsigned char* out = nullptr;
    unsigned long outLength = 12345;
    if (decoder(exact.data(), exact.size(), &out, &outLength) != 0)
        return std::nullopt;
    std::string result(reinterpret_cast<char*>(out), outLength);
    std::free(out);
    return result;
}

std::optional<std::string> decodeObject(ObjectDecoder decoder, const std::string& input) {
    auto data =
        SARef<SAData>::adopt(new SAData(reinterpret_cast<const unsigned char*>(input.data()), input.size(), false));
    auto decoded = SARef<SAData>::adopt(decoder(data.get()));
    if (!decoded)
        return std::nullopt;
    EXPECT_EQ(decoded->retainCount(), 1);
    EXPECT_TRUE(decoded->isOwner());
    return std::string(decoded->bytes() ? decoded->bytes() : "", decoded->length());
}

struct Case {
    std::string input;
    std::optional<std::string> output;  // nullopt: the decoding fails
};

void check(BufferDecoder buffer, ObjectDecoder object, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(decode(buffer, c.input), c.output) << "input: " << c.input;
        EXPECT_EQ(decodeObject(object, c.input), c.output) << "input: " << c.input;
    }
}

TEST(SADecoderFactory, base64) {
    check(SADecoderFactory::decodeBase64Buffer, SADecoderFactory::decodeBase64,
          {
              {"QUJD", "ABC"},
              {"QUI=", "AB"},
              {"QQ==", "A"},
              {"QQ", ""},
              {"QUJDREVG", "ABCDEF"},
              {"QU\r\nJD RE\tVG", "ABCDEF"},
              {"Q!U*J~D", "ABC"},
              {"QUI=QUJD", "AB"},
              {"QUJD=QUJD", "ABC"},
              {"=QUJD", ""},
              {"Q=", ""},
              {"QUJDQ", "ABC"},
              {"+/+/", "\xfb\xff\xbf"},
              {"////", "\xff\xff\xff"},
              {std::string("QU\0JD", 5), "ABC"},
              {"\x80\xff", ""},
              {"", std::nullopt},
          });
}

TEST(SADecoderFactory, base64LongInputMatchesGroupByGroupDecoding) {
    // The long runs take the whole-group path; a break every 76 bytes and an
    // odd tail take the byte path.
    std::string plain;
    for (int i = 0; i < 1000; ++i)
        plain.push_back(static_cast<char>(i * 37 + 11));
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (size_t i = 0; i + 2 < plain.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(plain[i]) << 16 | static_cast<unsigned char>(plain[i + 1]) << 8 |
                     static_cast<unsigned char>(plain[i + 2]);
        for (int k = 3; k >= 0; --k)
            encoded.push_back(alphabet[(v >> (6 * k)) & 63]);
        if (encoded.size() % 78 == 76)
            encoded += "\r\n";
    }
    encoded += "QQ==";
    std::string expected = plain.substr(0, plain.size() / 3 * 3) + "A";
    EXPECT_EQ(decode(SADecoderFactory::decodeBase64Buffer, encoded), expected);
}

TEST(SADecoderFactory, quotedPrintable) {
    check(SADecoderFactory::decodeQuotedPrintableBuffer, SADecoderFactory::decodeQuotedPrintable,
          {
              {"a=3Db", "a=b"},
              {"=3d", "="},
              {"a=\nb", "ab"},
              {"a=\r\nb", "a\nb"},
              {"=ZZ", "=ZZ"},
              {"=4Z", "=4Z"},
              {"abc=", "abc"},
              {"abc=4", "abc"},
              {"==41", "==41"},
              {"=4=41", "=4=41"},
              {"caf=E9 =C3=A9", "caf\xe9 \xc3\xa9"},
              {"a_b", "a_b"},
              {"=", ""},
              {"", std::nullopt},
          });
}

TEST(SADecoderFactory, q) {
    check(SADecoderFactory::decodeQBuffer, SADecoderFactory::decodeQ,
          {
              {"a_b", "a b"},
              {"=5F", "_"},
              {"caf=E9", "caf\xe9"},
              {"a=\nb", "ab"},
              {"a=\rb", "ab"},
              {"x=", "x"},
              {"x=4", "x"},
              {"=ZZ", std::nullopt},
              {"=4Z", std::nullopt},
              {"==", std::nullopt},
              {"", std::nullopt},
          });
}

TEST(SADecoderFactory, uuencode) {
    check(SADecoderFactory::decodeUuencodeBuffer, SADecoderFactory::decodeUuencode,
          {
              {"begin 644 f\n#86)C\n`\nend\n", "abc"},
              {"\r\n \t\nbegin 644 f\r\n#86)C\r\n`\r\nend\r\n", "abc"},
              {"begin 644 f\n$86)C9```\n`\nend\n", "abcd"},
              {"begin 644 f\n\"86(\n`\n", "ab"},
              {"begin 644 f\n!80\n \n", "a"},
              {"begin 644 f\n#86)C\n#86)C\n`\n", "abcabc"},
              {"begin 644 f\n#86)C", "abc"},
              {"begin 644 f", ""},
              {"begin 644 f\n", ""},
              {"hello\nbegin 644 f\n#86)C\n`\n", std::nullopt},
              {"BEGIN 644 f\n#86)C\n`\n", std::nullopt},
              {"begin", std::nullopt},
              {"", std::nullopt},
          });
}

TEST(SADecoderFactory, uuencodeLinesShorterThanTheirCountStopAtTheirEnd) {
    // "M" claims 45 bytes; the line holds two groups only. Nothing is read from
    // the next line or past the end of the input.
    EXPECT_EQ(decode(SADecoderFactory::decodeUuencodeBuffer, "begin 644 f\nM86)C86)C\n#86)C\n`\n"), "abcabcabc");
    EXPECT_EQ(decode(SADecoderFactory::decodeUuencodeBuffer, "begin 644 f\nM86)C86)"), "abc");
    EXPECT_EQ(decode(SADecoderFactory::decodeUuencodeBuffer, "begin 644 f\n\xff"), "");
}

// Byte-at-a-time decoders written straight from the rules, to compare the
// word-at-a-time ones with on many inputs.
int referenceHex(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> referenceEscapes(const std::string& in, bool q) {
    std::string out;
    enum { Normal, AfterEquals, AfterDigit } state = Normal;
    unsigned char digit = 0;
    for (unsigned char c : in) {
        switch (state) {
        case Normal:
            if (c == '=')
                state = AfterEquals;
            else
                out += (q && c == '_') ? ' ' : static_cast<char>(c);
            break;
        case AfterEquals:
            if (c == '\n' || c == '\r') {
                state = Normal;
            } else if (referenceHex(c) >= 0) {
                digit = c;
                state = AfterDigit;
            } else {
                if (q)
                    return std::nullopt;
                out += '=';
                out += static_cast<char>(c);
                state = Normal;
            }
            break;
        case AfterDigit:
            if (referenceHex(c) >= 0) {
                out += static_cast<char>(referenceHex(digit) * 16 + referenceHex(c));
            } else {
                if (q)
                    return std::nullopt;
                out += '=';
                out += static_cast<char>(digit);
                out += static_cast<char>(c);
            }
            state = Normal;
            break;
        }
    }
    return out;
}

std::string referenceBase64(const std::string& in) {
    std::string out;
    unsigned group = 0;
    int values = 0;
    for (unsigned char c : in) {
        int v = c >= 'A' && c <= 'Z'   ? c - 'A'
                : c >= 'a' && c <= 'z' ? c - 'a' + 26
                : c >= '0' && c <= '9' ? c - '0' + 52
                : c == '+'             ? 62
                : c == '/'             ? 63
                                       : -1;
        if (c == '=') {
            if (values == 3) {
                out += static_cast<char>(group >> 10);
                out += static_cast<char>(group >> 2);
            } else if (values == 2) {
                out += static_cast<char>(group >> 4);
            }
            return out;
        }
        if (v < 0)
            continue;
        group = group << 6 | static_cast<unsigned>(v);
        if (++values == 4) {
            out += static_cast<char>(group >> 16);
            out += static_cast<char>(group >> 8);
            out += static_cast<char>(group);
            group = 0;
            values = 0;
        }
    }
    return out;
}

TEST(SADecoderFactory, wordAtATimeDecodersAgreeWithTheByteRules) {
    // Inputs drawn from small alphabets that make escapes, breaks and padding
    // frequent, at every length around the word size.
    const std::string escapeAlphabet = "=_=\r\nA0f9zG \x80=";
    const std::string base64Alphabet = "QUJDabc+/09\r\n =!";
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
    for (int round = 0; round < 4000; ++round) {
        size_t length = 1 + next() % 40;
        std::string escapes, base64;
        for (size_t k = 0; k < length; ++k) {
            escapes += escapeAlphabet[next() % escapeAlphabet.size()];
            base64 += base64Alphabet[next() % base64Alphabet.size()];
        }
        // Mostly-valid base64 too, so the padding rules are reached.
        if (round % 2)
            base64.erase(std::remove(base64.begin(), base64.end(), '='), base64.end()), base64 += "=";
        ASSERT_EQ(decode(SADecoderFactory::decodeQuotedPrintableBuffer, escapes), referenceEscapes(escapes, false))
            << escapes;
        ASSERT_EQ(decode(SADecoderFactory::decodeQBuffer, escapes), referenceEscapes(escapes, true)) << escapes;
        if (!base64.empty()) {
            ASSERT_EQ(decode(SADecoderFactory::decodeBase64Buffer, base64), referenceBase64(base64)) << base64;
        }
    }
}

// Runs a buffer decoder on `input` placed at the very end of an allocation,
// `shift` bytes into it, so that reads past the end are caught whatever the
// input's alignment.
std::optional<std::string> decodeAtEnd(BufferDecoder decoder, const std::string& input, size_t shift) {
    std::vector<unsigned char> buffer(shift + input.size());
    std::copy(input.begin(), input.end(), buffer.begin() + static_cast<long>(shift));
    unsigned char* out = nullptr;
    unsigned long outLength = 0;
    if (decoder(buffer.data() + shift, input.size(), &out, &outLength) != 0)
        return std::nullopt;
    std::string result(reinterpret_cast<char*>(out), outLength);
    std::free(out);
    return result;
}

TEST(SADecoderFactory, blockDecodersAgreeWithTheByteRulesOnLongInputs) {
    // Long runs of mostly well-formed escapes, soft breaks and plain text, with
    // now and then a malformed escape, so that blocks of sixteen bytes are taken
    // whole, cut short, and have escapes straddling their ends at every offset.
    const char* const pieces[] = {"=41",  "=e9", "=C3", "=\r\n", "=\n", "=\r",   "_", "a", " ",   "text ",
                                  "\r\n", "==",  "=4=", "=Z",    "=4_", "=\x80", "9", "F", "=3D", "=5F"};
    const size_t pieceCount = sizeof pieces / sizeof pieces[0];
    uint32_t seed = 777;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        size_t length = 1 + next() % 160;
        // Malformed pieces (the last eight but two) only in a third of the rounds,
        // so that Q inputs often decode through to the end.
        bool malformed = round % 3 == 0;
        while (input.size() < length) {
            size_t k = next() % pieceCount;
            if (!malformed && k >= 11 && k <= 15)
                continue;
            input += pieces[k];
        }
        size_t shift = next() % 16;
        ASSERT_EQ(decodeAtEnd(SADecoderFactory::decodeQuotedPrintableBuffer, input, shift),
                  referenceEscapes(input, false))
            << input;
        ASSERT_EQ(decodeAtEnd(SADecoderFactory::decodeQBuffer, input, shift), referenceEscapes(input, true)) << input;
    }
}

TEST(SADecoderFactory, escapesAtEveryOffsetOfALongInput) {
    // One escape, break or malformed escape after k plain bytes, then plain
    // text: each lands at every offset of a block and at every distance from
    // the end of the input.
    const std::string kinds[] = {"=41", "=\r\n", "=\n", "==", "=4=", "=G1", "=4", "="};
    for (const std::string& kind : kinds) {
        for (size_t k = 0; k < 40; ++k) {
            for (size_t tail : {size_t{0}, size_t{1}, size_t{2}, size_t{17}, size_t{40}}) {
                std::string input = std::string(k, 'x') + kind + std::string(tail, 'y');
                EXPECT_EQ(decodeAtEnd(SADecoderFactory::decodeQuotedPrintableBuffer, input, k % 7),
                          referenceEscapes(input, false))
                    << input;
                EXPECT_EQ(decodeAtEnd(SADecoderFactory::decodeQBuffer, input, k % 7), referenceEscapes(input, true))
                    << input;
            }
        }
    }
    // Every byte value in an escape and as the byte after "=", in a long run.
    std::string all;
    for (int c = 0; c < 256; ++c) {
        static const char hex[] = "0123456789abcdef";
        all += '=';
        all += hex[c >> 4];
        all += hex[c & 15];
        all += '=';
        all += static_cast<char>(c);
        all += "=A";
        all += static_cast<char>(c);
    }
    EXPECT_EQ(decode(SADecoderFactory::decodeQuotedPrintableBuffer, all), referenceEscapes(all, false));
}

// Uuencode line by line and group by group: the count byte gives the bytes of
// the line; groups are taken from the line only.
std::optional<std::string> referenceUuencode(const std::string& in) {
    size_t i = in.find_first_not_of("\n\r \t");
    if (i == std::string::npos || in.compare(i, 6, "begin ") != 0)
        return std::nullopt;
    size_t lineEnd = in.find('\n', i);
    i = lineEnd == std::string::npos ? in.size() : lineEnd + 1;
    auto sextet = [&](size_t at) { return static_cast<unsigned>((static_cast<unsigned char>(in[at]) - 32) & 63); };
    std::string out;
    while (i < in.size()) {
        int n = static_cast<unsigned char>(in[i]) - 32;
        if (n <= 0 || n == 64)
            break;
        size_t end = std::min(in.find('\n', i), in.size());
        size_t p = i + 1;
        int groups = n / 3, done = 0;
        for (; done < groups && end - p >= 4; ++done, p += 4) {
            unsigned v = sextet(p) << 18 | sextet(p + 1) << 12 | sextet(p + 2) << 6 | sextet(p + 3);
            out += static_cast<char>(v >> 16);
            out += static_cast<char>(v >> 8);
            out += static_cast<char>(v);
        }
        int rest = n % 3;
        if (done == groups && rest > 0 && end - p >= static_cast<size_t>(rest) + 1) {
            unsigned v = sextet(p) << 18 | sextet(p + 1) << 12 | (rest == 2 ? sextet(p + 2) << 6 : 0);
            out += static_cast<char>(v >> 16);
            if (rest == 2)
                out += static_cast<char>(v >> 8);
        }
        i = end < in.size() ? end + 1 : in.size();
    }
    return out;
}

TEST(SADecoderFactory, uuencodeLongLinesAgreeWithGroupByGroupDecoding) {
    // Lines of every count, full, short and overlong, with bytes from the whole
    // range, so that runs of four groups, the groups after them and short lines
    // are all reached.
    uint32_t seed = 4242;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
    for (int round = 0; round < 500; ++round) {
        std::string input = "begin 644 f\n";
        int lines = 1 + static_cast<int>(next() % 8);
        for (int l = 0; l < lines; ++l) {
            int count = next() % 4 == 0 ? static_cast<int>(next() % 64) : 45;
            input += static_cast<char>(count + 32);
            size_t length = next() % 3 == 0 ? next() % 70 : static_cast<size_t>((count + 2) / 3 * 4);
            for (size_t k = 0; k < length; ++k)
                input += static_cast<char>(next() % 8 == 0 ? next() % 256 : 32 + next() % 64);
            if (input.back() == '\n')
                input.back() = 'x';
            input += next() % 4 == 0 ? "\r\n" : "\n";
        }
        if (round % 2)
            input += "`\nend\n";
        ASSERT_EQ(decodeAtEnd(SADecoderFactory::decodeUuencodeBuffer, input, next() % 16), referenceUuencode(input))
            << input;
    }
}

TEST(SADecoderFactory, failuresOnNullArguments) {
    const unsigned char in[] = "QUJD";
    unsigned char* out = reinterpret_cast<unsigned char*>(1);
    unsigned long outLength = 99;
    EXPECT_EQ(SADecoderFactory::decodeBase64Buffer(in, 0, &out, &outLength), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outLength, 0u);
    out = reinterpret_cast<unsigned char*>(1);
    EXPECT_EQ(SADecoderFactory::decodeUuencodeBuffer(in, 0, &out, &outLength), -1);
    EXPECT_EQ(out, nullptr);
    BufferDecoder decoders[] = {SADecoderFactory::decodeBase64Buffer, SADecoderFactory::decodeQuotedPrintableBuffer,
                                SADecoderFactory::decodeQBuffer, SADecoderFactory::decodeUuencodeBuffer};
    for (BufferDecoder decoder : decoders) {
        EXPECT_EQ(decoder(nullptr, 4, &out, &outLength), -1);
        EXPECT_EQ(decoder(in, 4, nullptr, &outLength), -1);
        EXPECT_EQ(decoder(in, 4, &out, nullptr), -1);
    }
    EXPECT_EQ(SADecoderFactory::decodeBase64(nullptr), nullptr);
    EXPECT_EQ(SADecoderFactory::decodeQ(nullptr), nullptr);
}

TEST(SADecoderFactory, everyTruncationOfEncodedInputStaysInBounds) {
    // Every prefix of typical inputs, each in a buffer of exactly its size.
    const std::string inputs[] = {
        "SGVsbG8gV29ybGQ=\r\nQUJD",
        "caf=E9=\r\n=3D=4=",
        "a_b=5F=C3=A9=",
        "\n\nbegin 600 x.txt\nM86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C\n#86)C\n`\nend\n",
    };
    BufferDecoder decoders[] = {SADecoderFactory::decodeBase64Buffer, SADecoderFactory::decodeQuotedPrintableBuffer,
                                SADecoderFactory::decodeQBuffer, SADecoderFactory::decodeUuencodeBuffer};
    for (const std::string& input : inputs) {
        for (size_t n = 1; n <= input.size(); ++n) {
            for (BufferDecoder decoder : decoders) {
                auto result = decode(decoder, input.substr(0, n));
                if (result) {
                    EXPECT_LE(result->size(), n);
                }
            }
        }
    }
    // The decoded prefix of a uuencoded body never exceeds the full decoding.
    auto full = decode(SADecoderFactory::decodeUuencodeBuffer, inputs[3]);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->size(), 48u);
}

}  // namespace
