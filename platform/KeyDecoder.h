// Turns the bytes a terminal sends into the key events of the console: characters (UTF-8),
// control keys, the escape sequences of xterm and of the Linux console with their modifier
// forms, Alt as a leading Esc, and bracketed pastes. It does no I/O: the caller feeds what it
// read and takes the results.
//
// An Esc may start a sequence or be the Esc key; only time tells. While the decoder holds an
// incomplete sequence (Holding), the caller waits a short time for more bytes and then calls
// Timeout, which takes what is held as it stands (a lone Esc becomes Esc).
#pragma once

#include "platform/ConsoleScreen.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyrix::platform {

// A sequence a terminal's key table names (terminfo's kcuu1, khome, kf1, ...) and its key.
struct TKeySequence {
    std::string Bytes;
    TKeyEvent Key;
};

// One result: a key, or a paste whose text is UTF-8.
struct TDecodedInput {
    enum class TKind { Key, Paste } Kind = TKind::Key;
    TKeyEvent Key;
    std::string Paste;
};

class TKeyDecoder {
public:
    // A paste longer than this is cut; the rest up to its end is dropped.
    static constexpr std::size_t MaxPaste = 1 << 20;
    // An escape sequence still without its final byte after this many bytes is garbage.
    static constexpr std::size_t MaxSequence = 32;
    // The most that is ever held between calls: a whole sequence with Alt's Esc before it.
    static constexpr std::size_t MaxHeld = MaxSequence + 1;

    // backspace is the byte the Backspace key sends (terminfo's kbs: 127 or 8); the other of
    // the two is Ctrl+Backspace. sequences are taken besides the built-in ones; only those
    // that start with Esc and have more than one byte are used (a plain byte is a key of its
    // own and must keep its meaning).
    explicit TKeyDecoder(unsigned char backspace = 0x7F, std::vector<TKeySequence> sequences = {});

    void Feed(std::string_view bytes);
    // The next result, in the order the keys came; empty when none is complete.
    std::optional<TDecodedInput> Next();
    // An incomplete sequence (or character) is held and more bytes may complete it.
    bool Holding() const { return !FHeld.empty(); }
    std::size_t HeldBytes() const { return FHeld.size(); }
    // A bracketed paste has begun and not ended yet.
    bool InPaste() const { return FInPaste; }
    // No more bytes came in time: what is held is taken as it stands, and a paste that has
    // not ended is delivered with the text it has.
    void Timeout();

private:
    enum class TMatch { Complete, Incomplete };
    struct TParse {
        TParse(TMatch match, std::size_t length = 0, std::optional<TKeyEvent> key = std::nullopt, bool pasteStart = false)
            : Match(match), Length(length), Key(key), PasteStart(pasteStart) {}
        TMatch Match;
        std::size_t Length;            // bytes taken when Complete
        std::optional<TKeyEvent> Key;  // none for a sequence that is read and dropped
        bool PasteStart;
    };

    void Decode(bool final);
    TParse Parse(std::string_view s, bool final) const;
    TParse ParseEscape(std::string_view s, bool final) const;
    TParse ParseCsi(std::string_view s, bool final) const;
    TParse ParsePlain(std::string_view s, bool final) const;
    void PasteByte(char byte);
    void EndPaste();
    void Emit(const TKeyEvent& key);

    unsigned char FBackspace;
    std::vector<TKeySequence> FSequences;
    std::string FHeld;
    std::deque<TDecodedInput> FOut;
    bool FInPaste = false;
    std::string FPaste;
    std::size_t FPasteEndMatched = 0;  // bytes of the paste's end marker seen so far
};

// The text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text);

}  // namespace keyrix::platform
