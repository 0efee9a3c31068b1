#include "platform/KeyDecoder.h"

#include "common/Utf8.h"

#include <algorithm>

namespace keyrix::platform {

namespace {

constexpr char Esc = '\x1b';
constexpr std::string_view PasteEnd = "\x1b[201~";

TKeyEvent Key(std::uint16_t vk, char32_t ch = 0, std::uint32_t modifiers = 0) { return {true, vk, ch, modifiers}; }

// xterm's modifier parameter: the parameter minus 1 holds Shift 1, Alt 2, Ctrl 4 (Meta 8 is
// not a key of the console and is left out).
std::uint32_t Modifiers(int parameter) {
    if (parameter < 2) return 0;
    const int bits = parameter - 1;
    std::uint32_t modifiers = 0;
    if (bits & 1) modifiers |= SHIFT_PRESSED;
    if (bits & 2) modifiers |= LEFT_ALT_PRESSED;
    if (bits & 4) modifiers |= LEFT_CTRL_PRESSED;
    return modifiers;
}

struct TUtf8 {
    enum { Ok, Incomplete, Bad } State;
    char32_t Ch;
    std::size_t Length;  // Ok, Bad: bytes taken; Incomplete: bytes present
};

TUtf8 DecodeUtf8(std::string_view s) {
    const auto lead = static_cast<unsigned char>(s[0]);
    if (lead < 0x80) return {TUtf8::Ok, lead, 1};
    std::size_t length;
    char32_t ch, least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, ch = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, ch = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, ch = lead & 0x07, least = 0x10000;
    } else {
        return {TUtf8::Bad, 0xFFFD, 1};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= s.size()) return {TUtf8::Incomplete, 0, i};
        const auto next = static_cast<unsigned char>(s[i]);
        // The bytes so far are one bad character; the byte that broke it starts anew.
        if ((next & 0xC0) != 0x80) return {TUtf8::Bad, 0xFFFD, i};
        ch = (ch << 6) | (next & 0x3F);
    }
    if (ch < least || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) return {TUtf8::Bad, 0xFFFD, length};
    return {TUtf8::Ok, ch, length};
}

// The virtual key of a typed character, where it has one of its own.
std::uint16_t VirtualKeyOf(char32_t ch) {
    if (ch >= U'a' && ch <= U'z') return static_cast<std::uint16_t>(ch - U'a' + U'A');
    if ((ch >= U'A' && ch <= U'Z') || (ch >= U'0' && ch <= U'9')) return static_cast<std::uint16_t>(ch);
    if (ch == U' ') return VK_SPACE;
    return 0;
}

// The keys of the final letters of CSI and SS3 sequences.
std::optional<std::uint16_t> LetterKey(char letter) {
    switch (letter) {
        case 'A': return VK_UP;
        case 'B': return VK_DOWN;
        case 'C': return VK_RIGHT;
        case 'D': return VK_LEFT;
        case 'H': return VK_HOME;
        case 'F': return VK_END;
        case 'P': case 'Q': case 'R': case 'S': return static_cast<std::uint16_t>(VK_F1 + (letter - 'P'));
        default: return std::nullopt;
    }
}

// The keys of ESC [ n ~ (xterm, and the Linux console's 1 and 4).
std::optional<std::uint16_t> TildeKey(int n) {
    switch (n) {
        case 1: case 7: return VK_HOME;
        case 2: return VK_INSERT;
        case 3: return VK_DELETE;
        case 4: case 8: return VK_END;
        case 5: return VK_PRIOR;
        case 6: return VK_NEXT;
        case 23: case 24: return static_cast<std::uint16_t>(VK_F1 + 10 + (n - 23));
        default: break;
    }
    if (n >= 11 && n <= 15) return static_cast<std::uint16_t>(VK_F1 + (n - 11));
    if (n >= 17 && n <= 21) return static_cast<std::uint16_t>(VK_F1 + 5 + (n - 17));
    return std::nullopt;
}

}  // namespace

std::string SanitizeUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const TUtf8 u = DecodeUtf8(text.substr(pos));
        if (u.State == TUtf8::Ok) {
            out.append(text.substr(pos, u.Length));
        } else {
            AppendUtf8(out, 0xFFFD);
        }
        pos += u.Length;
    }
    return out;
}

TKeyDecoder::TKeyDecoder(unsigned char backspace, std::vector<TKeySequence> sequences)
    : FBackspace(backspace == 8 ? 8 : 0x7F) {
    for (TKeySequence& sequence : sequences)
        if (sequence.Bytes.size() > 1 && sequence.Bytes.size() <= MaxSequence && sequence.Bytes[0] == Esc)
            FSequences.push_back(std::move(sequence));
}

void TKeyDecoder::Feed(std::string_view bytes) {
    FHeld.append(bytes);
    Decode(false);
}

void TKeyDecoder::Timeout() {
    Decode(true);
    if (FInPaste) EndPaste();
}

std::optional<TDecodedInput> TKeyDecoder::Next() {
    if (FOut.empty()) return std::nullopt;
    TDecodedInput result = std::move(FOut.front());
    FOut.pop_front();
    return result;
}

void TKeyDecoder::Emit(const TKeyEvent& key) { FOut.push_back({TDecodedInput::TKind::Key, key, {}}); }

void TKeyDecoder::Decode(bool final) {
    std::size_t pos = 0;
    while (pos < FHeld.size()) {
        if (FInPaste) {
            while (pos < FHeld.size() && FInPaste) PasteByte(FHeld[pos++]);
            continue;
        }
        const TParse parse = Parse(std::string_view(FHeld).substr(pos), final);
        if (parse.Match == TMatch::Incomplete) break;
        if (parse.Key) Emit(*parse.Key);
        if (parse.PasteStart) {
            FInPaste = true;
            FPaste.clear();
            FPasteEndMatched = 0;
        }
        pos += std::max<std::size_t>(parse.Length, 1);
    }
    FHeld.erase(0, pos);
}

// The paste's text up to ESC [ 201 ~, read byte by byte so that the end marker may come split
// over several reads; past MaxPaste the text is cut and the rest is only scanned for the end.
void TKeyDecoder::PasteByte(char byte) {
    const auto append = [this](std::string_view text) {
        if (FPaste.size() < MaxPaste) FPaste.append(text.substr(0, MaxPaste - FPaste.size()));
    };
    if (byte == PasteEnd[FPasteEndMatched]) {
        if (++FPasteEndMatched == PasteEnd.size()) EndPaste();
        return;
    }
    if (FPasteEndMatched > 0) {
        append(PasteEnd.substr(0, FPasteEndMatched));
        FPasteEndMatched = 0;
        if (byte == Esc) {
            FPasteEndMatched = 1;
            return;
        }
    }
    append(std::string_view(&byte, 1));
}

void TKeyDecoder::EndPaste() {
    FOut.push_back({TDecodedInput::TKind::Paste, {}, SanitizeUtf8(FPaste)});
    FInPaste = false;
    FPasteEndMatched = 0;
    std::string().swap(FPaste);
}

TKeyDecoder::TParse TKeyDecoder::Parse(std::string_view s, bool final) const {
    if (s[0] != Esc) return ParsePlain(s, final);
    // The terminal's own key table first, longest match. While a longer entry may still
    // come, a shorter one that matches already must wait: the bytes may arrive in any split.
    if (!final)
        for (const TKeySequence& sequence : FSequences)
            if (sequence.Bytes.size() > s.size() && std::string_view(sequence.Bytes).starts_with(s))
                return {TMatch::Incomplete};
    const TKeySequence* best = nullptr;
    for (const TKeySequence& sequence : FSequences)
        if (s.starts_with(sequence.Bytes) && (!best || sequence.Bytes.size() > best->Bytes.size())) best = &sequence;
    if (best) return {TMatch::Complete, best->Bytes.size(), best->Key};
    return ParseEscape(s, final);
}

TKeyDecoder::TParse TKeyDecoder::ParsePlain(std::string_view s, bool final) const {
    const auto byte = static_cast<unsigned char>(s[0]);
    const auto key = [](TKeyEvent event) { return TParse{TMatch::Complete, 1, event}; };
    if (byte == FBackspace) return key(Key(VK_BACK, 8));
    if (byte == 8 || byte == 0x7F) return key(Key(VK_BACK, 0x7F, LEFT_CTRL_PRESSED));
    if (byte == 9) return key(Key(VK_TAB, 9));
    if (byte == 13 || byte == 10) return key(Key(VK_RETURN, 13));
    if (byte == 0) return key(Key(VK_SPACE, 0, LEFT_CTRL_PRESSED));  // Ctrl+Space
    if (byte <= 26) return key(Key(static_cast<std::uint16_t>('A' + byte - 1), byte, LEFT_CTRL_PRESSED));
    if (byte < 0x20) return key(Key(0, byte, LEFT_CTRL_PRESSED));  // Ctrl+\ ] ^ _
    const TUtf8 u = DecodeUtf8(s);
    if (u.State == TUtf8::Incomplete) {
        if (!final) return {TMatch::Incomplete};
        return {TMatch::Complete, u.Length, Key(0, 0xFFFD)};
    }
    const std::uint32_t shift = u.Ch >= U'A' && u.Ch <= U'Z' ? std::uint32_t{SHIFT_PRESSED} : 0u;
    return {TMatch::Complete, u.Length, Key(VirtualKeyOf(u.Ch), u.Ch, shift)};
}

TKeyDecoder::TParse TKeyDecoder::ParseEscape(std::string_view s, bool final) const {
    if (s.size() == 1) return final ? TParse{TMatch::Complete, 1, Key(VK_ESCAPE, 27)} : TParse{TMatch::Incomplete};
    // Esc before a key (or before another sequence, as rxvt sends Alt+arrows) is Alt.
    const auto withAlt = [](TParse inner) {
        if (inner.Match == TMatch::Incomplete) return inner;
        if (inner.Key) inner.Key->ControlKeyState |= LEFT_ALT_PRESSED;
        inner.Match = TMatch::Complete;
        inner.Length += 1;
        return inner;
    };
    const char second = s[1];
    if (second == '[') return ParseCsi(s, final);
    if (second == Esc) {
        // One level only: a run of Esc bytes is a run of Esc keys, however long.
        if (s.size() > 2 && s[2] == Esc) return {TMatch::Complete, 1, Key(VK_ESCAPE, 27)};
        return withAlt(Parse(s.substr(1), final));
    }
    if (second != 'O') return withAlt(ParsePlain(s.substr(1), final));

    // SS3: ESC O [modifier digits] letter.
    if (s.size() == 2) return final ? withAlt(ParsePlain(s.substr(1), true)) : TParse{TMatch::Incomplete};
    std::size_t i = 2;
    int modifier = 0;
    while (i < s.size() && i < 6 && s[i] >= '0' && s[i] <= '9') modifier = modifier * 10 + (s[i++] - '0');
    if (i == s.size()) return final ? TParse{TMatch::Complete, i} : TParse{TMatch::Incomplete};
    const auto vk = LetterKey(s[i]);
    if (!vk) return {TMatch::Complete, s[i] >= 0x20 && s[i] <= 0x7E ? i + 1 : i};
    return {TMatch::Complete, i + 1, Key(*vk, 0, Modifiers(modifier))};
}

TKeyDecoder::TParse TKeyDecoder::ParseCsi(std::string_view s, bool final) const {
    // Alt+[: '[' has no virtual key of its own here (0x5B would be the Windows key).
    if (s.size() == 2)
        return final ? TParse{TMatch::Complete, 2, Key(VirtualKeyOf('['), '[', LEFT_ALT_PRESSED)} : TParse{TMatch::Incomplete};
    // The Linux console's F1 to F5: ESC [ [ A to E.
    if (s[2] == '[') {
        if (s.size() == 3) return final ? TParse{TMatch::Complete, 3} : TParse{TMatch::Incomplete};
        if (s[3] >= 'A' && s[3] <= 'E') return {TMatch::Complete, 4, Key(static_cast<std::uint16_t>(VK_F1 + (s[3] - 'A')))};
        return {TMatch::Complete, s[3] >= 0x20 && s[3] <= 0x7E ? 4u : 3u};
    }
    // Parameter bytes 0x30-0x3F, intermediate bytes 0x20-0x2F, a final byte 0x40-0x7E. Any
    // other byte breaks the sequence off and starts anew (it may be the next key's Esc).
    std::size_t i = 2;
    bool intermediate = false;
    for (; i < s.size(); ++i) {
        const char ch = s[i];
        if (ch >= 0x40 && ch <= 0x7E) break;
        if (ch >= 0x20 && ch <= 0x2F) {
            intermediate = true;
        } else if (ch < 0x30 || ch > 0x3F) {
            return {TMatch::Complete, i};
        }
        if (i + 1 >= MaxSequence) return {TMatch::Complete, i + 1};
    }
    if (i == s.size()) return final ? TParse{TMatch::Complete, i} : TParse{TMatch::Incomplete};
    const TParse dropped{TMatch::Complete, i + 1};
    const std::string_view text = s.substr(2, i - 2);
    // Private forms (mouse, focus, answers to queries) are not keys.
    if (intermediate || (!text.empty() && text[0] >= 0x3C)) return dropped;

    std::vector<int> parameters{0};
    for (char ch : text) {
        if (ch == ';') {
            parameters.push_back(0);
        } else if (ch >= '0' && ch <= '9') {
            parameters.back() = std::min(parameters.back() * 10 + (ch - '0'), 100000);
        } else {
            return dropped;
        }
    }
    const int first = parameters[0];
    const std::uint32_t modifiers = Modifiers(parameters.size() > 1 ? parameters[1] : 1);
    const char letter = s[i];
    if (letter == '~') {
        if (first == 200) return {TMatch::Complete, i + 1, std::nullopt, true};
        const auto vk = TildeKey(first);
        return vk ? TParse{TMatch::Complete, i + 1, Key(*vk, 0, modifiers)} : dropped;
    }
    if (letter == 'Z') return {TMatch::Complete, i + 1, Key(VK_TAB, 9, SHIFT_PRESSED)};  // Shift+Tab
    const auto vk = LetterKey(letter);
    return vk ? TParse{TMatch::Complete, i + 1, Key(*vk, 0, modifiers)} : dropped;
}

}  // namespace keyrix::platform
