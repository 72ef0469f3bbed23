#include "remote/remote_command.h"

#include "os/text.h"
#include "os/error.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace tesmora {
namespace {

std::string Unbase64(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0, count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = (bits << 6) | static_cast<unsigned>(alphabet.find(c));
        if ((count += 6) >= 8) out.push_back(static_cast<char>(bits >> (count -= 8)));
    }
    return out;
}

std::string Inflate(const std::string& packed) {
    std::string out(1 << 20, '\0');
    uLongf size = static_cast<uLongf>(out.size());
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(packed.data()),
                         static_cast<uLong>(packed.size())),
              Z_OK);
    out.resize(size);
    return out;
}

TEST(RootsJson, QuotesEachPathWithoutSpaces) {
    EXPECT_EQ(RootsJson({L"/var/www", L"/etc"}), "[\"/var/www\",\"/etc\"]");
    EXPECT_EQ(RootsJson({}), "[]");
    EXPECT_EQ(RootsJson({L"/a\"b\\c\td\nсайт"}), "[\"/a\\\"b\\\\c\\u0009d\\u000a\xD1\x81\xD0\xB0\xD0\xB9\xD1\x82\"]");
}

TEST(BuildRemoteCommand, CarriesTheRequestAndTheProgramCompressedAsBase64) {
    const std::string script = "print('hi')\r\n";
    const std::vector<std::wstring> paths{L"/var/www", L"/home/o'brien \"x\"; rm -rf /\n$HOME`id`"};
    const BackupRequest request{paths, {L"mysql:shop`id`", L"postgresql:$(x)"}, false, true};
    const std::string expected[] = {
        RootsJson(paths),
        "{\"paths\":" + RootsJson(paths) + R"j(,"databases":["mysql:shop`id`","postgresql:$(x)"],"detect":false,)j" +
            R"j("mode":"detect"})j"};
    const std::string commands[] = {BuildRemoteCommand(script, paths), BuildBackupCommand(script, request)};
    for (int k = 0; k < 2; ++k) {
        // Apart from the base64, nothing of the request reaches the shell.
        const std::string& command = commands[k];
        const std::size_t open = command.find("b64decode('") + 11, close = command.find("')", open);
        ASSERT_NE(close, std::string::npos);
        const std::string text = command.substr(open, close - open);
        EXPECT_EQ(command.find("o'brien"), std::string::npos);
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        EXPECT_EQ(Inflate(Unbase64(text)), expected[k] + "\n" + script);
    }
}

TEST(BuildRemoteCommand, FitsAHundredLongPathsAndRefusesWhatCannotFit) {
    // A hundred paths of about 200 UTF-8 bytes, as a hosting panel names them.
    const std::wstring words[] = {L"public_html", L"wp-content", L"uploads", L"сайт", L"магазин", L"backup",
                                  L"releases", L"shared", L"storage", L"данные", L"2026", L"assets"};
    std::mt19937 random(3);
    std::vector<std::wstring> paths;
    for (int i = 0; i < 100; ++i) {
        std::wstring path = L"/var/www/clients/client" + std::to_wstring(i) + L"/web" + std::to_wstring(i * 7);
        while (ToUtf8(path).size() < 190) path += L"/" + words[random() % 12] + L"-" + std::to_wstring(random() % 1000);
        paths.push_back(path);
    }
    EXPECT_LE(BuildRemoteCommand(EmbeddedBackupScript(), paths).size(), kMaxRemoteCommandBytes);

    for (auto& path : paths) {
        for (int k = 0; k < 400; ++k) path += static_cast<wchar_t>(L'a' + random() % 26);
    }
    try {
        BuildRemoteCommand(EmbeddedBackupScript(), paths);
        FAIL() << "a command over the limit was built";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Too many source paths; shorten the list");
    }
}

TEST(EmbeddedBackupScript, IsStoredWithCrLfAndWithoutMark) {
    const std::string script = EmbeddedBackupScript();
    ASSERT_GT(script.size(), 1000u);
    EXPECT_NE(script.compare(0, 3, "\xEF\xBB\xBF"), 0);
    size_t lineFeeds = 0;
    for (size_t i = 0; i < script.size(); ++i) {
        if (script[i] != '\n') continue;
        ++lineFeeds;
        EXPECT_TRUE(i > 0 && script[i - 1] == '\r') << "bare line feed at byte " << i;
    }
    EXPECT_GT(lineFeeds, 10u);
}

}  // namespace
}  // namespace tesmora
