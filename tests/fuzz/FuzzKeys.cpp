// The terminal key decoder on arbitrary bytes. The input is a flags byte, a seed byte and the
// bytes the terminal sends; the seed splits them into reads as a terminal may deliver them.
// Flags: 1 Backspace sends 8, 2 a terminal key table besides the built-in sequences,
// 4 the wait for more bytes runs out between some reads (Timeout).
// Invariants: the decoder never holds more than its bound, holds nothing after Timeout,
// every event is well-formed, and without timeouts the reads' split changes nothing.
#include "platform/KeyDecoder.h"
#include "tests/fuzz/FuzzSupport.h"

#include <string>
#include <string_view>
#include <vector>

using namespace keyrix::platform;
using keyrix::fuzz::Check;

namespace {

std::vector<TKeySequence> KeyTable() {
    return {
        {"\x1bOH", {true, VK_HOME, 0, 0}},
        {"\x1bOF", {true, VK_END, 0, 0}},
        {"\x1b[1;2P", {true, VK_F1, 0, SHIFT_PRESSED}},
        {"\x1b[25~", {true, VK_F1 + 12, 0, 0}},
        {"\x1bO", {true, VK_ESCAPE, 27, LEFT_ALT_PRESSED}},  // a prefix of the built-in SS3 keys
        {"\x1b[" + std::string(30, '9') + "~", {true, VK_DELETE, 0, LEFT_CTRL_PRESSED}},   // the longest taken
        {"\x1b[" + std::string(31, '8') + "~", {true, VK_INSERT, 0, 0}},  // too long: left out
        {"x", {true, 'Y', U'y', 0}},  // one byte: left out
    };
}

bool KnownVirtualKey(std::uint16_t vk) {
    switch (vk) {
        case 0: case VK_BACK: case VK_TAB: case VK_RETURN: case VK_ESCAPE: case VK_SPACE: case VK_PRIOR:
        case VK_NEXT: case VK_END: case VK_HOME: case VK_LEFT: case VK_UP: case VK_RIGHT: case VK_DOWN:
        case VK_INSERT: case VK_DELETE:
            return true;
        default:
            return (vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9') || (vk >= VK_F1 && vk <= VK_F1 + 12);
    }
}

bool ValidUtf8(std::string_view text) { return SanitizeUtf8(text) == text; }

void CheckEvent(const TDecodedInput& input) {
    if (input.Kind == TDecodedInput::TKind::Paste) {
        Check(input.Paste.size() <= 3 * TKeyDecoder::MaxPaste, "a paste beyond its bound");
        Check(ValidUtf8(input.Paste), "a paste that is not valid UTF-8");
        return;
    }
    const TKeyEvent& key = input.Key;
    Check(key.KeyDown, "a key event that is not a key press");
    Check(KnownVirtualKey(key.VirtualKeyCode), "an unknown virtual key");
    Check(key.Char <= 0x10FFFF && (key.Char < 0xD800 || key.Char > 0xDFFF), "a character that is no Unicode scalar");
    Check(key.VirtualKeyCode != 0 || key.Char != 0, "a key with neither virtual key nor character");
    Check((key.ControlKeyState & ~std::uint32_t{SHIFT_PRESSED | LEFT_ALT_PRESSED | LEFT_CTRL_PRESSED}) == 0,
          "a modifier the decoder never sets");
}

void Drain(TKeyDecoder& decoder, std::vector<TDecodedInput>& out) {
    while (std::optional<TDecodedInput> input = decoder.Next()) {
        CheckEvent(*input);
        out.push_back(std::move(*input));
    }
}

bool SameEvents(const std::vector<TDecodedInput>& a, const std::vector<TDecodedInput>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].Kind != b[i].Kind || a[i].Key != b[i].Key || a[i].Paste != b[i].Paste) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned flags = data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);
    const auto decoder = [&] {
        return TKeyDecoder(flags & 1 ? 8 : 0x7F, flags & 2 ? KeyTable() : std::vector<TKeySequence>{});
    };
    const bool timeouts = flags & 4;

    // In reads of 1 to 40 bytes, draining after each as the console does.
    keyrix::fuzz::TSplitMix random(data[1]);
    TKeyDecoder split = decoder();
    std::vector<TDecodedInput> splitEvents;
    for (std::size_t pos = 0; pos < bytes.size();) {
        const std::size_t length = 1 + random.Below(40);
        split.Feed(bytes.substr(pos, length));
        pos += length;
        Check(split.HeldBytes() <= TKeyDecoder::MaxHeld, "the decoder holds more than its bound");
        Drain(split, splitEvents);
        if (timeouts && (split.Holding() || split.InPaste()) && random.Below(2) == 0) {
            split.Timeout();
            Check(!split.Holding() && !split.InPaste(), "something is held after Timeout");
            Drain(split, splitEvents);
        }
    }
    split.Timeout();
    Check(!split.Holding() && !split.InPaste(), "something is held after the last Timeout");
    Drain(split, splitEvents);
    Check(splitEvents.size() <= bytes.size(), "more events than bytes");

    if (!timeouts) {
        TKeyDecoder whole = decoder();
        std::vector<TDecodedInput> wholeEvents;
        whole.Feed(bytes);
        Check(whole.HeldBytes() <= TKeyDecoder::MaxHeld, "the decoder holds more than its bound in one read");
        whole.Timeout();
        Drain(whole, wholeEvents);
        Check(SameEvents(splitEvents, wholeEvents), "the split of the reads changed the keys");
    }
    return 0;
}
