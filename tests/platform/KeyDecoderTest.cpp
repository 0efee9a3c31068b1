#include "platform/KeyDecoder.h"

#include <gtest/gtest.h>

#include <random>

namespace keyrix::platform {
namespace {

constexpr std::uint32_t Shift = SHIFT_PRESSED, Alt = LEFT_ALT_PRESSED, Ctrl = LEFT_CTRL_PRESSED;

TKeyEvent K(std::uint16_t vk, char32_t ch = 0, std::uint32_t modifiers = 0) { return {true, vk, ch, modifiers}; }

std::uint16_t F(int n) { return static_cast<std::uint16_t>(VK_F1 + n - 1); }

std::string Describe(const TDecodedInput& input) {
    if (input.Kind == TDecodedInput::TKind::Paste) return "paste \"" + input.Paste + "\"";
    return "key vk=" + std::to_string(input.Key.VirtualKeyCode) + " char=" + std::to_string(input.Key.Char) +
           " mods=" + std::to_string(input.Key.ControlKeyState);
}

std::vector<TDecodedInput> Drain(TKeyDecoder& decoder) {
    std::vector<TDecodedInput> out;
    while (auto input = decoder.Next()) out.push_back(*input);
    return out;
}

std::vector<TKeyEvent> Keys(const std::vector<TDecodedInput>& inputs) {
    std::vector<TKeyEvent> keys;
    for (const TDecodedInput& input : inputs) {
        EXPECT_EQ(input.Kind, TDecodedInput::TKind::Key) << Describe(input);
        keys.push_back(input.Key);
    }
    return keys;
}

struct TCase {
    const char* Name;
    std::string Bytes;
    TKeyEvent Key;
};

// What xterm and the Linux console send for the keys the menu reads.
const std::vector<TCase> Table = {
    {"Up", "\x1b[A", K(VK_UP)}, {"Down", "\x1b[B", K(VK_DOWN)}, {"Right", "\x1b[C", K(VK_RIGHT)},
    {"Left", "\x1b[D", K(VK_LEFT)}, {"Home CSI H", "\x1b[H", K(VK_HOME)}, {"End CSI F", "\x1b[F", K(VK_END)},
    {"Up SS3", "\x1bOA", K(VK_UP)}, {"Down SS3", "\x1bOB", K(VK_DOWN)}, {"Right SS3", "\x1bOC", K(VK_RIGHT)},
    {"Left SS3", "\x1bOD", K(VK_LEFT)}, {"Home SS3", "\x1bOH", K(VK_HOME)}, {"End SS3", "\x1bOF", K(VK_END)},
    {"F1 SS3", "\x1bOP", K(F(1))}, {"F2 SS3", "\x1bOQ", K(F(2))}, {"F3 SS3", "\x1bOR", K(F(3))},
    {"F4 SS3", "\x1bOS", K(F(4))},
    {"Ins", "\x1b[2~", K(VK_INSERT)}, {"Del", "\x1b[3~", K(VK_DELETE)}, {"PgUp", "\x1b[5~", K(VK_PRIOR)},
    {"PgDn", "\x1b[6~", K(VK_NEXT)}, {"Home 1~ (Linux)", "\x1b[1~", K(VK_HOME)}, {"Home 7~", "\x1b[7~", K(VK_HOME)},
    {"End 4~ (Linux)", "\x1b[4~", K(VK_END)}, {"End 8~", "\x1b[8~", K(VK_END)},
    {"F1 11~", "\x1b[11~", K(F(1))}, {"F2 12~", "\x1b[12~", K(F(2))}, {"F3 13~", "\x1b[13~", K(F(3))},
    {"F4 14~", "\x1b[14~", K(F(4))}, {"F5", "\x1b[15~", K(F(5))}, {"F6", "\x1b[17~", K(F(6))},
    {"F7", "\x1b[18~", K(F(7))}, {"F8", "\x1b[19~", K(F(8))}, {"F9", "\x1b[20~", K(F(9))},
    {"F10", "\x1b[21~", K(F(10))}, {"F11", "\x1b[23~", K(F(11))}, {"F12", "\x1b[24~", K(VK_F12)},
    {"F1 Linux", "\x1b[[A", K(F(1))}, {"F2 Linux", "\x1b[[B", K(F(2))}, {"F3 Linux", "\x1b[[C", K(F(3))},
    {"F4 Linux", "\x1b[[D", K(F(4))}, {"F5 Linux", "\x1b[[E", K(F(5))},
    // xterm's modifier parameter: 2 Shift, 3 Alt, 5 Ctrl, and their sums.
    {"Shift+Up", "\x1b[1;2A", K(VK_UP, 0, Shift)}, {"Alt+Left", "\x1b[1;3D", K(VK_LEFT, 0, Alt)},
    {"Ctrl+Right", "\x1b[1;5C", K(VK_RIGHT, 0, Ctrl)}, {"Ctrl+Shift+Down", "\x1b[1;6B", K(VK_DOWN, 0, Ctrl | Shift)},
    {"Ctrl+Alt+Home", "\x1b[1;7H", K(VK_HOME, 0, Ctrl | Alt)}, {"Ctrl+End", "\x1b[1;5F", K(VK_END, 0, Ctrl)},
    {"Ctrl+PgUp", "\x1b[5;5~", K(VK_PRIOR, 0, Ctrl)}, {"Shift+PgDn", "\x1b[6;2~", K(VK_NEXT, 0, Shift)},
    {"Alt+PgDn", "\x1b[6;3~", K(VK_NEXT, 0, Alt)}, {"Ctrl+Del", "\x1b[3;5~", K(VK_DELETE, 0, Ctrl)},
    {"Alt+Ins", "\x1b[2;3~", K(VK_INSERT, 0, Alt)}, {"Ctrl+Ins", "\x1b[2;5~", K(VK_INSERT, 0, Ctrl)},
    {"Shift+F1", "\x1b[1;2P", K(F(1), 0, Shift)}, {"Ctrl+F5", "\x1b[15;5~", K(F(5), 0, Ctrl)},
    {"Ctrl+Alt+Shift+F12", "\x1b[24;8~", K(VK_F12, 0, Ctrl | Alt | Shift)},
    {"Shift+F2 SS3 (old xterm)", "\x1bO2Q", K(F(2), 0, Shift)},
    {"Alt+Up (rxvt)", "\x1b\x1b[A", K(VK_UP, 0, Alt)}, {"Shift+Tab", "\x1b[Z", K(VK_TAB, 9, Shift)},
    // Plain bytes.
    {"Tab", "\t", K(VK_TAB, 9)}, {"Enter CR", "\r", K(VK_RETURN, 13)}, {"Enter LF", "\n", K(VK_RETURN, 13)},
    {"Ctrl+A", "\x01", K('A', 1, Ctrl)}, {"Ctrl+C", "\x03", K('C', 3, Ctrl)}, {"Ctrl+V", "\x16", K('V', 22, Ctrl)},
    {"Ctrl+Z", "\x1a", K('Z', 26, Ctrl)}, {"space", " ", K(VK_SPACE, U' ')}, {"a", "a", K('A', U'a')},
    {"A", "A", K('A', U'A', Shift)}, {"5", "5", K('5', U'5')}, {"#", "#", K(0, U'#')},
    {"Alt+x", "\x1bx", K('X', U'x', Alt)}, {"Alt+Shift+X", "\x1bX", K('X', U'X', Shift | Alt)},
    {"Ctrl+Alt+A", "\x1b\x01", K('A', 1, Ctrl | Alt)},
    {"e acute", "\xc3\xa9", K(0, U'\u00e9')}, {"euro", "\xe2\x82\xac", K(0, U'\u20ac')},
    {"G clef (4 bytes)", "\xf0\x9d\x84\x9e", K(0, U'\U0001D11E')},
};

TEST(KeyDecoderTest, TableOfKeysWholeAndByteByByte) {
    for (const TCase& c : Table) {
        SCOPED_TRACE(c.Name);
        TKeyDecoder whole;
        whole.Feed(c.Bytes);
        // A complete sequence is a key at once, without waiting for the timeout.
        EXPECT_FALSE(whole.Holding());
        EXPECT_EQ(Keys(Drain(whole)), std::vector<TKeyEvent>{c.Key});

        TKeyDecoder split;
        std::vector<TDecodedInput> got;
        for (char byte : c.Bytes) {
            split.Feed(std::string_view(&byte, 1));
            for (auto& input : Drain(split)) got.push_back(input);
        }
        EXPECT_EQ(Keys(got), std::vector<TKeyEvent>{c.Key});
    }
}

TEST(KeyDecoderTest, KeysInOneReadComeInOrder) {
    std::string all;
    std::vector<TKeyEvent> expected;
    for (const TCase& c : Table) {
        all += c.Bytes;
        expected.push_back(c.Key);
    }
    TKeyDecoder decoder;
    decoder.Feed(all);
    EXPECT_FALSE(decoder.Holding());
    EXPECT_EQ(Keys(Drain(decoder)), expected);
}

TEST(KeyDecoderTest, BackspaceIsTheByteKbsNamesAndTheOtherIsCtrlBackspace) {
    struct {
        unsigned char Kbs;
        char Byte;
        TKeyEvent Key;
    } cases[] = {
        {0x7F, '\x7f', K(VK_BACK, 8)}, {0x7F, '\x08', K(VK_BACK, 127, Ctrl)},
        {0x08, '\x08', K(VK_BACK, 8)}, {0x08, '\x7f', K(VK_BACK, 127, Ctrl)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("kbs " + std::to_string(c.Kbs) + " byte " + std::to_string(c.Byte));
        TKeyDecoder decoder(c.Kbs);
        decoder.Feed(std::string(1, c.Byte));
        EXPECT_EQ(Keys(Drain(decoder)), std::vector<TKeyEvent>{c.Key});
    }
}

TEST(KeyDecoderTest, LoneEscIsEscOnlyAfterTheTimeout) {
    TKeyDecoder decoder;
    decoder.Feed("\x1b");
    EXPECT_TRUE(decoder.Holding());
    EXPECT_TRUE(Drain(decoder).empty());
    decoder.Timeout();
    EXPECT_FALSE(decoder.Holding());
    EXPECT_EQ(Keys(Drain(decoder)), std::vector<TKeyEvent>{K(VK_ESCAPE, 27)});

    // The rest of a sequence in time makes it the sequence, not Esc.
    decoder.Feed("\x1b");
    decoder.Feed("[");
    EXPECT_TRUE(decoder.Holding());
    decoder.Feed("A");
    EXPECT_EQ(Keys(Drain(decoder)), std::vector<TKeyEvent>{K(VK_UP)});

    // Held incomplete forms taken at the timeout: Alt+[, Alt+O, and a sequence cut short
    // (dropped), each leaving nothing held.
    struct {
        const char* Bytes;
        std::vector<TKeyEvent> Keys;
    } cut[] = {
        {"\x1b[", {K(0, '[', Alt)}},  // '[' has no virtual key, as with Esc before any other sign
        {"\x1bO", {K('O', 'O', Shift | Alt)}},
        {"\x1b[1;5", {}},
        {"\x1b\x1b", {K(VK_ESCAPE, 27, Alt)}},
        {"\x1b\x1b\x1b", {K(VK_ESCAPE, 27), K(VK_ESCAPE, 27, Alt)}},
    };
    for (const auto& c : cut) {
        SCOPED_TRACE(c.Bytes + 1);
        TKeyDecoder d;
        d.Feed(c.Bytes);
        d.Timeout();
        EXPECT_FALSE(d.Holding());
        EXPECT_EQ(Keys(Drain(d)), c.Keys);
    }
}

TEST(KeyDecoderTest, InvalidUtf8BecomesReplacementCharacters) {
    struct {
        const char* Name;
        std::string Bytes;
        std::u32string Chars;
    } cases[] = {
        {"stray continuation", "\x80z", U"\uFFFDz"},
        {"byte FF", "\xff", U"\uFFFD"},
        {"lead then ASCII", "\xc3" "A", U"\uFFFDA"},
        {"overlong slash", "\xc0\xaf", U"\uFFFD\uFFFD"},
        {"surrogate", "\xed\xa0\x80", U"\uFFFD"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", U"\uFFFD"},
        {"cut short at the timeout", "\xe2\x82", U"\uFFFD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TKeyDecoder decoder;
        decoder.Feed(c.Bytes);
        decoder.Timeout();
        EXPECT_FALSE(decoder.Holding());
        std::u32string chars;
        for (const TKeyEvent& key : Keys(Drain(decoder))) chars += key.Char;
        EXPECT_EQ(chars, c.Chars);
    }
    // An incomplete character is held until its last byte comes.
    TKeyDecoder decoder;
    decoder.Feed("\xe2\x82");
    EXPECT_TRUE(decoder.Holding());
    decoder.Feed("\xac");
    EXPECT_EQ(Keys(Drain(decoder)), std::vector<TKeyEvent>{K(0, U'\u20ac')});
}

TEST(KeyDecoderTest, UnknownSequencesAreDroppedWithoutStalling) {
    const std::string cases[] = {
        "\x1b[?1;2c",            // an answer to a device query
        "\x1b[<0;10;5M",         // a mouse report
        "\x1b[999~",             // a tilde key nobody has
        "\x1b[I",                // focus in
        "\x1b[" + std::string(100, '1') + "A",  // parameters without end
        "\x1b[[Z",               // not a Linux function key
        "\x1bOz",
    };
    for (const std::string& bytes : cases) {
        SCOPED_TRACE(bytes.substr(1, 20));
        TKeyDecoder decoder;
        decoder.Feed(bytes + "x");
        EXPECT_FALSE(decoder.Holding());
        const std::vector<TKeyEvent> keys = Keys(Drain(decoder));
        ASSERT_FALSE(keys.empty());
        // Only the x, and for the endless parameters whatever the cut left, but never a key
        // of the broken sequence.
        EXPECT_EQ(keys.back(), K('X', U'x'));
        for (const TKeyEvent& key : keys) EXPECT_EQ(key.VirtualKeyCode == VK_UP, false);
    }
}

TEST(KeyDecoderTest, BracketedPasteIsOnePasteWholeOrSplit) {
    // The text holds Esc and a prefix of the end marker that does not complete.
    const std::string pasteText = "hello \xc3\xa9\r\nworld \x1b[20x \x1b[2011";
    const std::string stream = "\x1b[200~" + pasteText + "\x1b[201~" + "\x1b[A";
    for (bool split : {false, true}) {
        SCOPED_TRACE(split ? "byte by byte" : "whole");
        TKeyDecoder decoder;
        std::vector<TDecodedInput> got;
        if (split) {
            for (char byte : stream) {
                decoder.Feed(std::string_view(&byte, 1));
                for (auto& input : Drain(decoder)) got.push_back(input);
            }
        } else {
            decoder.Feed(stream);
            got = Drain(decoder);
        }
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].Kind, TDecodedInput::TKind::Paste);
        EXPECT_EQ(got[0].Paste, pasteText);
        EXPECT_EQ(got[1].Kind, TDecodedInput::TKind::Key);
        EXPECT_EQ(got[1].Key, K(VK_UP));
        EXPECT_FALSE(decoder.InPaste());
    }
}

TEST(KeyDecoderTest, EndlessPasteIsCutAndStillEnds) {
    TKeyDecoder decoder;
    decoder.Feed("\x1b[200~");
    EXPECT_TRUE(decoder.InPaste());
    const std::string chunk(64 * 1024, 'a');
    for (int i = 0; i < 48; ++i) decoder.Feed(chunk);  // 3 MiB
    EXPECT_TRUE(Drain(decoder).empty());
    EXPECT_TRUE(decoder.InPaste());
    decoder.Feed("\x1b[201~z");
    std::vector<TDecodedInput> got = Drain(decoder);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].Paste.size(), TKeyDecoder::MaxPaste);
    EXPECT_EQ(got[1].Key, K('Z', U'z'));

    // One that never ends is delivered at the timeout with what it has, and cut.
    TKeyDecoder endless;
    endless.Feed("\x1b[200~\xc3\xa9");
    for (int i = 0; i < 10; ++i) endless.Feed(chunk);
    endless.Timeout();
    got = Drain(endless);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Kind, TDecodedInput::TKind::Paste);
    EXPECT_EQ(got[0].Paste.substr(0, 3), "\xc3\xa9" "a");
    EXPECT_EQ(got[0].Paste.size(), 2u + 10u * chunk.size());
    EXPECT_FALSE(endless.InPaste());
}

TEST(KeyDecoderTest, TerminfoSequencesAreKeysToo) {
    TKeyDecoder decoder(0x7F, {{"\x1b!u", K(VK_UP)}, {"\x1b[25~", K(VK_F12)}, {"\x08", K(VK_LEFT)}});
    for (bool split : {false, true}) {
        SCOPED_TRACE(split ? "byte by byte" : "whole");
        const std::string stream = "\x1b!u\x1b[25~\x08";
        std::vector<TDecodedInput> got;
        if (split) {
            for (char byte : stream) {
                decoder.Feed(std::string_view(&byte, 1));
                for (auto& input : Drain(decoder)) got.push_back(input);
            }
        } else {
            decoder.Feed(stream);
            got = Drain(decoder);
        }
        // A sequence without Esc is not taken: 8 keeps its meaning (Ctrl+Backspace here).
        EXPECT_EQ(Keys(got), (std::vector<TKeyEvent>{K(VK_UP), K(VK_F12), K(VK_BACK, 127, Ctrl)}));
    }
}

// A table entry that begins another one: the longer wins however the bytes are split, and the
// shorter is taken when nothing more comes in time.
TEST(KeyDecoderTest, TerminfoSequenceThatBeginsAnotherWaitsForIt) {
    const std::vector<TKeySequence> table{{"\x1bO", K(VK_F1)}, {"\x1bOH", K(VK_HOME)}};
    for (const std::size_t first : {1u, 2u, 3u}) {
        SCOPED_TRACE(first);
        TKeyDecoder decoder(0x7F, table);
        const std::string stream = "\x1bOH";
        decoder.Feed(stream.substr(0, first));
        std::vector<TDecodedInput> got = Drain(decoder);
        decoder.Feed(stream.substr(first));
        for (auto& input : Drain(decoder)) got.push_back(input);
        EXPECT_EQ(Keys(got), std::vector<TKeyEvent>{K(VK_HOME)});
    }
    TKeyDecoder decoder(0x7F, table);
    decoder.Feed("\x1bO");
    EXPECT_TRUE(decoder.Holding());
    decoder.Timeout();
    EXPECT_EQ(Keys(Drain(decoder)), std::vector<TKeyEvent>{K(VK_F1)});
}

TEST(KeyDecoderTest, RandomBytesNeverCrashOrStall) {
    std::mt19937 random(20261210);
    std::uniform_int_distribution<int> byte(0, 255), length(1, 64);
    // Bytes that make sequences are frequent, so that the parser's paths are all taken.
    const char special[] = {'\x1b', '[', 'O', ';', '~', '1', '2', '0', '\xc3', '\xe2', '\x80'};
    TKeyDecoder decoder;
    std::size_t fed = 0, results = 0;
    while (fed < 100 * 1024) {
        std::string chunk;
        for (int i = length(random); i > 0; --i)
            chunk += byte(random) < 96 ? special[static_cast<std::size_t>(byte(random)) % sizeof special]
                                       : static_cast<char>(byte(random));
        decoder.Feed(chunk);
        fed += chunk.size();
        for (const TDecodedInput& input : Drain(decoder)) {
            ++results;
            if (input.Kind == TDecodedInput::TKind::Key) {
                EXPECT_LE(input.Key.Char, 0x10FFFFu);
                EXPECT_FALSE(input.Key.Char >= 0xD800 && input.Key.Char <= 0xDFFF);
            }
        }
    }
    decoder.Timeout();
    Drain(decoder);
    EXPECT_FALSE(decoder.Holding());
    EXPECT_FALSE(decoder.InPaste());
    EXPECT_GT(results, 1000u);
    // The decoder is still in step: the next key is read as it is.
    decoder.Feed("\x1b[B");
    EXPECT_EQ(Keys(Drain(decoder)), std::vector<TKeyEvent>{K(VK_DOWN)});
}

TEST(KeyDecoderTest, SanitizeUtf8KeepsValidTextAndReplacesTheRest) {
    EXPECT_EQ(SanitizeUtf8("a\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e"), "a\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e");
    EXPECT_EQ(SanitizeUtf8("a\xff" "b\xc3"), "a\xef\xbf\xbd" "b\xef\xbf\xbd");
}

}  // namespace
}  // namespace keyrix::platform
