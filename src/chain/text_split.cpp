// A text split into sentences and a sentence into tokens, by rules: words
// keep their inner apostrophes, hyphens, dots, slashes, digits and digit
// groups ("don't", "e-mail", "v3.11", "3.5", "1,000", "and/or"), a path's
// or an address's slashes ("/usr/lib/", "https://example.org/a"), a mail
// address's "@" ("doko@ubuntu.com"), the "@" or "#" that begins a handle
// or a tag ("@name", "#tag"), a sign or an option's dashes after a blank
// ("-0500", "+1", "--jobs"), a character reference ("&amp;"), a backslash
// before a word ("\xe2"), an operator of two marks ("==", "->"), and the
// pluses and hashes that end them ("C++", "C#"); known abbreviations and
// initials keep their dot ("Mr.", "U.S.", "J."); every other punctuation
// mark is a token of its own, a run of terminators ("...", "?!") one token.
// A sentence ends at a terminator followed by a space and a word that may
// begin one (a capital, a digit, an opening quote before one), at a blank
// line, and at the end of the text; never after a title ("Dr.") or an
// initial, and after a shortening that may end one ("etc.", "Inc.") only
// when a word that usually opens a sentence follows; never within a spaced
// ellipsis of three dots. A list written in a line ("1.) one 2.) two",
// "a. one b. two") is a sentence an item.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <unistd.h>

#include "chain.h"
#include "probe_table.h"
#include "words.h"

namespace zantu::native {
namespace {

enum class Kind : std::uint8_t { Word, Terminator, Open, Close, Mark };

// How a word's own dot reads.
enum class Dot : std::uint8_t { None, Title, Shortening, Initial };

struct Token {
    Py_ssize_t begin, end;
    Kind kind;
    Dot dot;
    bool space_before;      // whitespace (or the text's start) before it
    bool paragraph_before;  // a blank line before it
};

// Lower-case ASCII letters of text[begin:end], or empty when any other
// character is in it (then it is no abbreviation of the lists below). The
// degree sign and the masculine ordinal read as "o" ("N°", "Nº": "no").
template <typename Ch>
std::string ascii_lower(const Ch* text, Py_ssize_t begin, Py_ssize_t end) {
    std::string out;
    if (end - begin > 12) return out;
    for (Py_ssize_t i = begin; i < end; ++i) {
        Py_UCS4 c = text[i];
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c == 0x00B0 || c == 0x00BA) c = 'o';
        if (!((c >= 'a' && c <= 'z') || c == '.')) return std::string();
        out += char(c);
    }
    return out;
}

// A word of the lists below: at most 8 characters, packed into one number
// (the lists are looked in for the last word of nearly every sentence).
class WordList {
public:
    explicit WordList(const char* const* list) {
        for (; *list != nullptr; ++list) keys_.push_back(key(*list, std::strlen(*list)));
        std::sort(keys_.begin(), keys_.end());
    }
    bool has(const std::string& word) const {
        return word.size() <= 8 && std::binary_search(keys_.begin(), keys_.end(), key(word.data(), word.size()));
    }

private:
    static uint64_t key(const char* word, size_t size) {
        uint64_t k = 0;
        std::memcpy(&k, word, std::min<size_t>(size, 8));
        return k;
    }
    std::vector<uint64_t> keys_;
};

// Shortenings that stand before a name or a number, and never end a sentence.
const char* const kTitles[] = {
    "mr", "mrs", "ms", "dr", "prof", "st", "mt", "sr", "jr", "gen", "sen", "rep", "rev", "gov", "pres", "capt", "col",
    "lt", "sgt", "cmdr", "adm", "maj", "hon", "messrs", "mme", "mlle", "fr", "no", "nos", "vol", "vols", "fig", "figs",
    "p", "pp", "ch", "sec", "art", "eq", "ref", "vs", "v", "cf", "e.g", "i.e", "viz", "approx", "ca", "dept", "est",
    "jan", "feb", "mar", "apr", "jun", "jul", "aug", "sep", "sept", "oct", "nov", "dec", nullptr};
// Shortenings that end a sentence as often as not.
const char* const kShortenings[] = {"etc", "inc", "ltd", "co", "corp", "bros", "llc", "plc", "al", "esq",
                                    "a.m", "p.m", "u.s", "u.k", "u.n", "e.u", "ph.d", "b.a", "m.a", "b.sc",
                                    "m.sc", "d.c", nullptr};
// Words that open a sentence far more often than they follow a shortening.
const char* const kOpeners[] = {"i", "the", "a", "an", "he", "she", "it", "we", "they", "you", "this", "that",
                                "these", "those", "there", "then", "but", "and", "so", "in", "on", "at", "if",
                                "when", "what", "how", "why", "my", "his", "her", "our", "their", "its", "after",
                                "before", "as", "for", "however", "yet", "also", "one", "some", "all", nullptr};

template <typename Ch>
class Splitter {
public:
    Splitter(const Ch* text, Py_ssize_t size) : s_(text), n_(size) {}

    // The tokens of the text, in order.
    const std::vector<Token>& tokens() {
        Py_ssize_t i = 0;
        bool space = true;
        int newlines = 0;
        while (i < n_) {
            Py_UCS4 c = s_[i];
            if (is_space(c)) {
                newlines += c == '\n';
                space = true;
                ++i;
                continue;
            }
            // An invisible format character (a byte order mark, a soft
            // hyphen) is no token: kept within a word (see word), else passed.
            if (format(c)) {
                ++i;
                continue;
            }
            Token t{i, i + 1, Kind::Mark, Dot::None, space, newlines >= 2};
            // A slash or a backslash before a word begins it ("/usr/lib",
            // "\section"), and so does a handle's "@" or a tag's "#"
            // ("@name", "#tag", "#34").
            if (word_char(c) || ((c == '/' || c == '\\' || ((c == '@' || c == '#') && !at(i - 1, word_char))) &&
                                 at(i + 1, word_char))) {
                word(t);
            } else if (c == '!' && char_is(i + 1, '=')) {
                t.end = i + 2;  // "!=" is an operator, not a terminator
            } else if (terminator(c)) {
                while (t.end < n_ && terminator(s_[t.end])) ++t.end;
                t.kind = Kind::Terminator;
            } else if (opening(c) || (straight_quote(c) && space)) {
                t.kind = Kind::Open;
            } else if (closing(c) || straight_quote(c)) {
                t.kind = Kind::Close;
            } else if (c == '-' || c == '+') {
                while (c == '-' && t.end < n_ && s_[t.end] == '-') ++t.end;
                // A sign or an option's dashes before a word, after a blank
                // or what opens a quote, are part of it ("-0500", "+1",
                // "-o", "--jobs", "(-1)", "`-p'").
                bool after_blank = space || opening(s_[i - 1]) || straight_quote(s_[i - 1]) || s_[i - 1] == '`';
                if (after_blank && t.end - i <= 2 && at(t.end, c == '-' ? word_char : digit)) {
                    t.begin = t.end;
                    word(t);
                    t.begin = i;
                } else if (t.end == i + 1) {
                    operator_mark(t);
                }
            } else if (c == '&') {
                reference(t);
                if (t.kind == Kind::Mark) operator_mark(t);
            } else {
                operator_mark(t);
            }
            tokens_.push_back(t);
            i = t.end;
            space = false;
            newlines = 0;
        }
        return tokens_;
    }

    // The tokens, taken out of the splitter once its sentences are found.
    std::vector<Token> take_tokens() { return std::move(tokens_); }

    // The ranges of tokens_ that are sentences: [first, last) pairs.
    std::vector<std::pair<size_t, size_t>> sentences(bool lines) {
        std::vector<std::pair<size_t, size_t>> out;
        if (!lines) find_lists();
        size_t first = 0;
        for (size_t k = 0; k < tokens_.size(); ++k) {
            bool ends = k + 1 == tokens_.size() || (lines ? line_between(k) : ends_after(k));
            if (ends) {
                out.emplace_back(first, k + 1);
                first = k + 1;
            }
        }
        return out;
    }

private:
    static bool word_char(Py_UCS4 c) { return is_word_char(c); }
    static bool terminator(Py_UCS4 c) { return c == '.' || c == '!' || c == '?' || c == 0x2026; }
    static bool straight_quote(Py_UCS4 c) { return c == '"' || c == '\''; }
    static bool opening(Py_UCS4 c) {
        return c == '(' || c == '[' || c == '{' || c == 0x201C || c == 0x2018 || c == 0x00AB || c == 0x201E;
    }
    static bool closing(Py_UCS4 c) { return c == ')' || c == ']' || c == '}' || c == 0x201D || c == 0x2019 || c == 0x00BB; }
    static bool digit(Py_UCS4 c) { return Py_UNICODE_ISDIGIT(c); }
    // Unicode's format characters that text carries unseen, which word
    // boundaries pass over: the soft hyphen, the marks of direction and
    // embedding, the word joiner and its kin, the byte order mark.
    static bool format(Py_UCS4 c) {
        return c >= 0x00AD &&
               (c == 0x00AD || c == 0x061C || c == 0x180E || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) || c == 0xFEFF ||
                (c >= 0xFFF9 && c <= 0xFFFB));
    }
    bool at(Py_ssize_t i, bool (*test)(Py_UCS4)) const { return i >= 0 && i < n_ && test(s_[i]); }

    // A mark at t.begin and the one after it, when they are an operator of
    // programs' text, are one token ("==", "->", "<=").
    void operator_mark(Token& t) const {
        if (t.begin + 1 < n_ && operator_pair(s_[t.begin], s_[t.begin + 1])) t.end = t.begin + 2;
    }
    static bool operator_pair(Py_UCS4 a, Py_UCS4 b) {
        switch (b) {
            case '=': return a == '=' || a == '<' || a == '>' || a == '+' || a == '-' || a == '*' || a == '/' ||
                             a == '%' || a == ':' || a == '|' || a == '&' || a == '^';
            case '>': return a == '-' || a == '=' || a == '>';
            case '<': return a == '<';
            case '*': return a == '*';
            case '/': return a == '/';
            case '&': return a == '&';
            case '|': return a == '|';
            default: return false;
        }
    }

    // A character reference from t.begin (its "&") is one token ("&amp;",
    // "&#39;"); any other "&" a mark.
    [[gnu::noinline]] void reference(Token& t) const {
        Py_ssize_t j = t.begin + 1 + (char_is(t.begin + 1, '#') ? 1 : 0);
        Py_ssize_t name = j;
        while (j < n_ && j - name < 32 && Py_UNICODE_ISALNUM(s_[j])) ++j;
        if (j > name && char_is(j, ';')) {
            t.end = j + 1;
            t.kind = Kind::Word;
        }
    }
    bool char_is(Py_ssize_t i, Py_UCS4 c) const { return i < n_ && s_[i] == c; }

    // A word from t.begin (a word character, or a slash, "@" or "#" before one):
    // word characters, joined by an apostrophe, a hyphen, a dot, a slash or
    // a format character between two of them (a comma between two digits,
    // a scheme's "://"),
    // then the pluses, hashes and slashes that end it ("C++", "C#",
    // "/usr/lib/"), or its own dot when it is an abbreviation or an initial.
    [[gnu::always_inline]] void word(Token& t) {
        t.kind = Kind::Word;
        Py_ssize_t j = t.begin + 1;
        bool at_sign = false;
        for (;;) {
            while (j < n_ && word_char(s_[j])) ++j;
            // The numero sign: "N°" is one word.
            if (j == t.begin + 1 && j < n_ && s_[j] == 0x00B0 && (s_[t.begin] == 'N' || s_[t.begin] == 'n')) ++j;
            // A scheme's "://" before a word joins it ("https://example.org").
            if (j + 3 < n_ && s_[j] == ':' && s_[j + 1] == '/' && s_[j + 2] == '/' && word_char(s_[j + 3])) {
                j += 4;
                continue;
            }
            if (j + 1 >= n_ || !word_char(s_[j + 1])) break;
            Py_UCS4 c = s_[j];
            bool joins = c == '\'' || c == 0x2019 || c == '-' || c == '.' || c == '/' || format(c) ||
                         (c == ',' && digit(s_[j - 1]) && digit(s_[j + 1]));
            // So does a mail address's one "@" before a domain ("doko@ubuntu.com").
            if (!joins && c == '@' && !at_sign && domain_at(j + 1)) joins = at_sign = true;
            if (!joins) break;
            j += 2;
        }
        Py_ssize_t marks = j;
        while (marks < n_ && (s_[marks] == '+' || s_[marks] == '#' || s_[marks] == '/')) ++marks;
        if (marks > j && !at(marks, word_char)) {
            t.end = marks;
            return;
        }
        t.end = j;
        if (j >= n_ || s_[j] != '.' || at(j + 1, word_char)) return;
        // "..." after a word is a terminator of its own.
        if (j + 1 < n_ && terminator(s_[j + 1])) return;
        // What the dot ends is the word's last part after a slash ("Cell/B.E.").
        Py_ssize_t last = j;
        while (last > t.begin && s_[last - 1] != '/') --last;
        std::string lower = ascii_lower(s_, last, j);
        static const WordList titles(kTitles);
        static const WordList shortenings(kShortenings);
        if (titles.has(lower)) {
            t.dot = Dot::Title;
        } else if (shortenings.has(lower) || (std::find(s_ + last, s_ + j, '.') != s_ + j && initialism(last, j))) {
            t.dot = Dot::Shortening;
        } else if (j - t.begin == 1 && Py_UNICODE_ISUPPER(s_[t.begin]) && after_name(s_[t.begin])) {
            t.dot = Dot::Initial;
        } else {
            return;
        }
        t.end = j + 1;
    }

    // Whether a domain begins at `i`: word characters in parts joined by
    // dots or hyphens, at least two parts joined by a dot ("ubuntu.com").
    [[gnu::noinline]] bool domain_at(Py_ssize_t i) const {
        bool dotted = false;
        while (at(i, word_char)) {
            while (at(i, word_char)) ++i;
            if (!(i + 1 < n_ && (s_[i] == '.' || s_[i] == '-') && word_char(s_[i + 1]))) break;
            dotted = dotted || s_[i] == '.';
            ++i;
        }
        return dotted;
    }

    // Whether a capital letter before a dot is an initial: "I" and "A" are
    // words of their own unless a capitalised word stands before them
    // ("Albert I. Jones", not "you and I.").
    bool after_name(Py_UCS4 letter) const {
        if (letter != 'I' && letter != 'A') return true;
        if (tokens_.empty()) return false;
        const Token& last = tokens_.back();
        return last.kind == Kind::Word && Py_UNICODE_ISUPPER(s_[last.begin]);
    }

    // Letters one at a time between dots: "U.S", "e.g", "Ph.D" is listed.
    bool initialism(Py_ssize_t begin, Py_ssize_t end) const {
        for (Py_ssize_t i = begin; i < end; i += 2) {
            if (!Py_UNICODE_ISALPHA(s_[i]) || (i + 1 < end && s_[i + 1] != '.')) return false;
        }
        return true;
    }

    bool line_between(size_t k) const {
        for (Py_ssize_t i = tokens_[k].end; i < tokens_[k + 1].begin; ++i) {
            if (s_[i] == '\n') return true;
        }
        return false;
    }

    // The items of lists written in a line ("1.) one 2.) two", "a. one
    // b. two"): an enumerator (a number or a small letter, its dot, maybe
    // a closing bracket) where a sentence may begin, then the next ones in
    // turn, each after a blank. Each item is a sentence; an enumerator's
    // dot ends none.
    enum ListMark : std::uint8_t { kInEnumerator = 1, kItemStart = 2 };

    // The number of the enumerator at token k (1 for "1" or "a"), or 0;
    // `width`: its tokens.
    int enumerator(size_t k, size_t& width) const {
        const Token& t = tokens_[k];
        if (t.kind != Kind::Word || k + 2 >= tokens_.size() || (k > 0 && !t.space_before)) return 0;
        const Token& dot = tokens_[k + 1];
        if (dot.kind != Kind::Terminator || dot.space_before || dot.end - dot.begin != 1 || s_[dot.begin] != '.') {
            return 0;
        }
        width = tokens_[k + 2].kind == Kind::Close && !tokens_[k + 2].space_before && s_[tokens_[k + 2].begin] == ')'
                    ? 3 : 2;
        if (k + width >= tokens_.size() || !tokens_[k + width].space_before) return 0;
        Py_ssize_t length = t.end - t.begin;
        Py_UCS4 c = s_[t.begin];
        if (length == 1 && c >= 'a' && c <= 'z') return int(c - 'a') + 1;
        if (length > 2) return 0;
        int number = 0;
        for (Py_ssize_t i = t.begin; i < t.end; ++i) {
            if (s_[i] < '0' || s_[i] > '9') return 0;
            number = number * 10 + int(s_[i] - '0');
        }
        return number;
    }

    void find_lists() {
        list_.assign(tokens_.size(), 0);
        for (size_t k = 0; k < tokens_.size(); ++k) {
            size_t width = 0;
            if (enumerator(k, width) != 1) continue;
            if (k > 0 && tokens_[k - 1].kind != Kind::Terminator && tokens_[k - 1].kind != Kind::Close &&
                !tokens_[k].paragraph_before && !line_between(k - 1)) {
                continue;
            }
            // The items in turn, as long as the next one comes within
            // kItemReach tokens and the paragraph.
            constexpr size_t kItemReach = 256;
            std::vector<std::pair<size_t, size_t>> items{{k, width}};
            for (size_t j = k + width; j < tokens_.size() && j <= items.back().first + kItemReach; ++j) {
                if (tokens_[j].paragraph_before) break;
                size_t w = 0;
                if (enumerator(j, w) == int(items.size()) + 1) items.emplace_back(j, w);
            }
            if (items.size() < 2) continue;
            for (auto [at, w] : items) {
                list_[at] |= kItemStart;
                for (size_t i = at; i < at + w; ++i) list_[i] |= kInEnumerator;
            }
            k = items.back().first;
        }
    }

    // Whether token k, a lone dot, ends a spaced ellipsis of three (". . .",
    // an omission within a sentence; a fourth dot is a period).
    bool spaced_ellipsis(size_t k) const {
        auto lone_dot = [&](size_t i) {
            return tokens_[i].kind == Kind::Terminator && tokens_[i].end - tokens_[i].begin == 1 &&
                   s_[tokens_[i].begin] == '.';
        };
        if (!lone_dot(k) || !tokens_[k].space_before) return false;
        size_t run = 0;
        for (size_t i = k + 1; i-- > 0 && lone_dot(i);) ++run;
        return run == 3;
    }

    // Whether a sentence ends after token k (not the last).
    bool ends_after(size_t k) const {
        const Token& next = tokens_[k + 1];
        if (next.paragraph_before) return true;
        if (!list_.empty()) {
            if (list_[k + 1] & kItemStart) return true;
            if (list_[k] & kInEnumerator) return false;
        }
        const Token& t = tokens_[k];
        // A terminator with its closing quotes and brackets: the sentence
        // ends after the last of them.
        if (t.kind == Kind::Close) {
            size_t back = k;
            while (back > 0 && tokens_[back].kind == Kind::Close && !tokens_[back].space_before) --back;
            if (tokens_[back].kind != Kind::Terminator && tokens_[back].dot != Dot::Shortening) return false;
            if (quoted_mark(back)) return false;
            if (next.kind == Kind::Close && !next.space_before) return false;
            return next.space_before && opens(k + 1, tokens_[back]);
        }
        if (t.kind != Kind::Terminator && (t.kind != Kind::Word || t.dot != Dot::Shortening)) return false;
        if (next.kind == Kind::Close && !next.space_before) return false;
        if (next.kind == Kind::Terminator || quoted_mark(k) || spaced_ellipsis(k)) return false;
        return next.space_before && opens(k + 1, t);
    }

    // A terminator right after an opening bracket ("[...]", "(?)") marks
    // an omission or a doubt, not an end.
    bool quoted_mark(size_t k) const {
        return tokens_[k].kind == Kind::Terminator && k > 0 && tokens_[k - 1].kind == Kind::Open &&
               !tokens_[k].space_before;
    }

    // Whether token k can begin a sentence after `end` (a terminator, or a
    // shortening that may end one).
    bool opens(size_t k, const Token& end) const {
        while (k < tokens_.size() && tokens_[k].kind == Kind::Open) ++k;
        if (k == tokens_.size()) return true;
        const Token& t = tokens_[k];
        Py_UCS4 c = s_[t.begin];
        if (end.kind == Kind::Word) {
            // After "etc." or "U.S.": only a word that mostly opens one.
            std::string lower = ascii_lower(s_, t.begin, t.end);
            static const WordList openers(kOpeners);
            return Py_UNICODE_ISUPPER(c) && openers.has(lower);
        }
        if (Py_UNICODE_ISUPPER(c) || Py_UNICODE_ISTITLE(c) || digit(c)) return true;
        // So does a signed number ("-1 is less").
        if (t.kind == Kind::Word && (c == '-' || c == '+') && t.begin + 1 < t.end && digit(s_[t.begin + 1])) return true;
        // A word with no case (most scripts but the Latin, Greek, Cyrillic
        // and Armenian ones) after a terminator begins one too.
        return t.kind == Kind::Word && !Py_UNICODE_ISLOWER(c) && Py_UNICODE_ISALPHA(c);
    }

    const Ch* s_;
    Py_ssize_t n_;
    std::vector<Token> tokens_;
    std::vector<std::uint8_t> list_;  // ListMark bits per token, once the lists are found
};

// Where a block of text that starts at `from` may end: at a blank line (or,
// for lines, at a line end) from `from + kBlock` on, where a sentence ends
// whatever comes after; the text's end when there is none.
constexpr Py_ssize_t kBlock = Py_ssize_t(1) << 20;

template <typename Ch>
Py_ssize_t block_end(const Ch* s, Py_ssize_t n, Py_ssize_t from, bool lines) {
    for (Py_ssize_t i = std::min(n, from + kBlock); i < n; ++i) {
        if (s[i] != '\n') continue;
        if (lines) return i + 1;
        Py_ssize_t j = i + 1;
        while (j < n && s[j] != '\n' && is_space(s[j])) ++j;
        if (j < n && s[j] == '\n') return j + 1;
    }
    return n;
}

template <typename Ch>
Ref split_text(PyObject* text, bool lines, bool as_tokens) {
    const Ch* data = static_cast<const Ch*>(PyUnicode_DATA(text));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref out = Ref::check(PyList_New(0));
    // In blocks, so that the tokens held at a time are a block's.
    for (Py_ssize_t from = 0; from < n;) {
        Py_ssize_t to = as_tokens ? n : block_end(data, n, from, lines);
        Splitter<Ch> splitter(data + from, to - from);
        const std::vector<Token>& tokens = splitter.tokens();
        if (as_tokens) {
            for (const Token& t : tokens) {
                Ref token = Ref::check(PyUnicode_Substring(text, from + t.begin, from + t.end));
                check_status(PyList_Append(out.get(), token.get()));
            }
        } else {
            for (auto [first, last] : splitter.sentences(lines)) {
                Ref sentence =
                    Ref::check(PyUnicode_Substring(text, from + tokens[first].begin, from + tokens[last - 1].end));
                check_status(PyList_Append(out.get(), sentence.get()));
            }
        }
        from = to;
    }
    return out;
}

// Where the text's last blank line (or, for lines, its last line end)
// ends; 0 when it has none.
template <typename Ch>
Py_ssize_t last_break(const Ch* s, Py_ssize_t n, bool lines) {
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        if (s[i] != '\n') continue;
        if (lines) return i + 1;
        Py_ssize_t j = i - 1;
        while (j >= 0 && s[j] != '\n' && is_space(s[j])) --j;
        if (j >= 0 && s[j] == '\n') return i + 1;
    }
    return 0;
}

// `more` appended to the bytearray `ids`.
void append_ids(PyObject* ids, const std::vector<uint32_t>& more) {
    if (more.empty()) return;
    size_t added = 0;
    for (uint32_t v : more) added += varint_size(v);
    Py_ssize_t size = PyByteArray_GET_SIZE(ids);
    check_status(PyByteArray_Resize(ids, size + Py_ssize_t(added)));
    char* out = PyByteArray_AS_STRING(ids) + size;
    for (uint32_t v : more) put_varint(out, v);
}

// The numbers of a call's tokens, found again by the token's address:
// within a call a word is one object, and its number, once found in the
// table or added, stays what it is.
class TokenNumbers {
public:
    explicit TokenNumbers(PyObject* table) : table_(table) {}
    uint32_t of(PyObject* token) {
        uint32_t& number = numbers_.at(token);
        if (number == 0) number = number_of(table_, token);
        return number;
    }

private:
    PyObject* table_;
    AddressMap<uint32_t> numbers_;  // 0: not looked up yet
};

// Where a sentence's tokens go as numbers, for the runs index.
struct RunsIds {
    PyObject* table;  // dict: token -> number, from 1
    PyObject* ids;    // bytearray of the numbers as varints, 0 after each sentence
};

// A block of a text, split: its tokens, its sentences (ranges of tokens)
// and the hash of each token's characters. Splitting touches nothing of
// Python's (the text's characters never change while the caller holds
// it), so the next block is split by a thread of its own while the tokens
// of this one are kept and counted.
template <typename Ch>
struct SplitBlock {
    Py_ssize_t from = 0, to = 0;
    std::vector<Token> tokens;
    std::vector<std::pair<size_t, size_t>> sentences;
    std::vector<std::uint64_t> hashes;

    SplitBlock(const Ch* data, Py_ssize_t upto, Py_ssize_t begin, bool lines) : from(begin) {
        to = std::min(upto, block_end(data, upto, from, lines));
        Splitter<Ch> splitter(data + from, to - from);
        splitter.tokens();
        sentences = splitter.sentences(lines);
        tokens = splitter.take_tokens();
        hashes.resize(tokens.size());
        for (size_t k = 0; k < tokens.size(); ++k) {
            std::uint64_t hash = kTextHashStart;
            for (Py_ssize_t i = from + tokens[k].begin; i < from + tokens[k].end; ++i) hash = text_hash_step(hash, data[i]);
            hashes[k] = hash_end(hash);
        }
    }
};

// The block of `data` that begins at `from`: split by a thread of its own
// with `ahead`, else (or where no thread is to be had) here, when asked
// for. Code of the caller's that runs while the thread splits (a bag's
// add) may fork: the child has no such thread, so it neither waits for
// the split (get() splits the block again) nor for the thread's end (the
// future is left as it is, never freed).
template <typename Ch>
class NextBlock {
public:
    NextBlock(const Ch* data, Py_ssize_t upto, Py_ssize_t from, bool lines, bool ahead)
        : data_(data), upto_(upto), from_(from), lines_(lines) {
        auto split = [this] { return this->split(); };  // the block is held in place (never moved)
        if (ahead) {
            try {
                future_ = std::async(std::launch::async, split);
                return;
            } catch (const std::system_error&) {
            }
        }
        future_ = std::async(std::launch::deferred, split);
    }
    NextBlock(const NextBlock&) = delete;
    NextBlock& operator=(const NextBlock&) = delete;
    ~NextBlock() { let_go_if_forked(); }

    SplitBlock<Ch> get() {
        if (let_go_if_forked()) return split();
        return future_.get();
    }

private:
    SplitBlock<Ch> split() const { return SplitBlock<Ch>(data_, upto_, from_, lines_); }

    bool let_go_if_forked() {
        if (getpid() == pid_ || !future_.valid()) return false;
        new std::future<SplitBlock<Ch>>(std::move(future_));  // the parent's thread: it never ends here
        return true;
    }

    const Ch* data_;
    Py_ssize_t upto_, from_;
    bool lines_;
    pid_t pid_ = getpid();
    std::future<SplitBlock<Ch>> future_;
};

// Each sentence of text[0:upto] (or, with `lines`, each non-blank line),
// block by block: `sentence` gets its tokens as objects of `table` (a value
// table: a str is made once per distinct word), and `block()` follows the
// sentences of each block. The next block is split meanwhile (see
// SplitBlock); should `sentence` or `block` throw, the split under way is
// waited for.
template <typename Ch, typename Sentence, typename Block>
void kept_sentences(PyObject* text, Py_ssize_t upto, bool lines, bool ahead, PyObject* table, Sentence sentence,
                    Block block) {
    const Ch* data = static_cast<const Ch*>(PyUnicode_DATA(text));
    if (upto <= 0) return;
    Words words(text);
    std::vector<PyObject*> kept;
    SplitBlock<Ch> now(data, upto, 0, lines);
    for (;;) {
        std::optional<NextBlock<Ch>> next;
        if (now.to < upto) next.emplace(data, upto, now.to, lines, ahead);
        for (auto [first, last] : now.sentences) {
            kept.clear();
            for (size_t k = first; k < last; ++k) {
                kept.push_back(words.kept(table, now.from + now.tokens[k].begin, now.from + now.tokens[k].end,
                                          now.hashes[k]));
            }
            sentence(kept);
        }
        block();
        if (now.to >= upto) return;
        // A long text is counted a block at a time: a signal's handler that
        // raises (Ctrl-C) stops the count between two.
        if (PyErr_CheckSignals() < 0) throw PyError();
        now = next->get();
    }
}

// A sentence's tokens appended to `ids` as their numbers, then 0.
void sentence_ids(TokenNumbers& numbers, const std::vector<PyObject*>& tokens, std::vector<uint32_t>& ids) {
    for (PyObject* token : tokens) ids.push_back(numbers.of(token));
    ids.push_back(0);
}

template <typename Ch>
Py_ssize_t count_text(ChainObject* chain, PyObject* table, PyObject* text, Py_ssize_t order, bool lines, bool final,
                      bool ahead, const RunsIds* runs) {
    const Ch* data = static_cast<const Ch*>(PyUnicode_DATA(text));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t upto = final ? n : last_break(data, n, lines);
    PyObject* none = kept_value(table, Py_None);
    std::vector<PyObject*> kept;
    std::vector<size_t> ends;
    std::vector<uint32_t> ids;
    std::optional<TokenNumbers> numbers;
    if (runs != nullptr) numbers.emplace(runs->table);
    kept_sentences<Ch>(
        text, upto, lines, ahead, table,
        [&](const std::vector<PyObject*>& sentence) {
            kept.insert(kept.end(), size_t(order), none);
            kept.insert(kept.end(), sentence.begin(), sentence.end());
            kept.push_back(none);
            ends.push_back(kept.size());
            if (numbers) sentence_ids(*numbers, sentence, ids);
        },
        [&] {
            // The block's count may stop at a signal: its runs go in after it.
            count_kept(chain, table, kept, order, &ends);
            kept.clear();
            ends.clear();
            if (runs != nullptr) {
                append_ids(runs->ids, ids);
                ids.clear();
            }
        });
    return upto;
}

// The table and ids of `runs` (a zantu.text.RunsBuilder for `lines`), held
// in `table` and `ids`. Its attributes may be the caller's code.
RunsIds runs_ids(PyObject* runs, bool lines, Ref& table, Ref& ids) {
    Ref builder_lines = Ref::check(PyObject_GetAttrString(runs, "lines"));
    int same = PyObject_IsTrue(builder_lines.get());
    if (same < 0) throw PyError();
    if ((same != 0) != lines) {
        raise(PyExc_ValueError, "the runs builder splits %s, the text is split into %s", same ? "lines" : "sentences",
              lines ? "lines" : "sentences");
    }
    table = Ref::check(PyObject_GetAttrString(runs, "table"));
    ids = Ref::check(PyObject_GetAttrString(runs, "ids"));
    if (!PyDict_CheckExact(table.get()) || !PyByteArray_CheckExact(ids.get())) {
        raise(PyExc_TypeError, "runs must be a zantu.text.RunsBuilder, not %.200s", Py_TYPE(runs)->tp_name);
    }
    return RunsIds{table.get(), ids.get()};
}

Ref split(PyObject* text, bool lines, bool as_tokens) {
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return split_text<Py_UCS1>(text, lines, as_tokens);
        case PyUnicode_2BYTE_KIND: return split_text<Py_UCS2>(text, lines, as_tokens);
        default: return split_text<Py_UCS4>(text, lines, as_tokens);
    }
}

PyObject* checked_text(PyObject* text) {
    if (!PyUnicode_Check(text)) {
        raise(PyExc_TypeError, "expected a str, not %.200s", Py_TYPE(text)->tp_name);
    }
    return text;
}

}  // namespace

Ref count_sentences(const NativeState& state, PyObject* chain_object, PyObject* text, Py_ssize_t order, bool lines,
                    bool final, PyObject* runs) {
    if (!PyObject_TypeCheck(chain_object, state.chain_type)) {
        raise(PyExc_TypeError, "expected a MarkovChain, not %.200s", Py_TYPE(chain_object)->tp_name);
    }
    Ref held = Ref::borrow(checked_text(text));
    if (order < 1) raise(PyExc_ValueError, "order must be at least 1");
    ChainObject* chain = as_chain(chain_object);
    Ref runs_table, runs_ids_held;
    RunsIds sink{};
    if (runs != Py_None) sink = runs_ids(runs, lines, runs_table, runs_ids_held);
    const RunsIds* into_runs = runs == Py_None ? nullptr : &sink;
    Ref table = chain_table(chain);
    auto count = [&](auto kind) {
        using Ch = decltype(kind);
        return count_text<Ch>(chain, table.get(), text, order, lines, final, state.split_ahead, into_runs);
    };
    Py_ssize_t upto;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: upto = count(Py_UCS1()); break;
        case PyUnicode_2BYTE_KIND: upto = count(Py_UCS2()); break;
        default: upto = count(Py_UCS4());
    }
    return Ref::check(PyUnicode_Substring(text, upto, PyUnicode_GET_LENGTH(text)));
}

PyObject* split_ahead_function(PyObject* module, PyObject* on) {
    return guarded<PyObject*>(nullptr, [&] {
        int flag = check_status(PyObject_IsTrue(on));
        NativeState& state = module_state(module);
        bool was = state.split_ahead;
        state.split_ahead = flag != 0;
        return Py_NewRef(was ? Py_True : Py_False);
    });
}

PyObject* count_sentences_function(PyObject* module, PyObject* args) {
    PyObject *chain, *text, *runs = Py_None;
    Py_ssize_t order;
    int lines, final;
    if (!PyArg_ParseTuple(args, "OOnpp|O:_count_sentences", &chain, &text, &order, &lines, &final, &runs)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        return count_sentences(module_state(module), chain, text, order, lines != 0, final != 0, runs).release();
    });
}

PyObject* sentences_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"text", "lines", nullptr};
    PyObject* text;
    int lines = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:sentences", const_cast<char**>(names), &text, &lines)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] { return split(checked_text(text), lines != 0, false).release(); });
}

PyObject* tokens_function(PyObject*, PyObject* text) {
    return guarded<PyObject*>(nullptr, [&] { return split(checked_text(text), false, true).release(); });
}

}  // namespace zantu::native

namespace zantu::native {
namespace {

// The source's tokens as numbers, for the runs index (zantu.text.Runs):
// each sentence of `text` appended to `ids` (a bytearray of varints) as
// its tokens' numbers then 0; a token's number is its place in `table`
// (a dict of str to number, from 1), where a new one is added.
template <typename Ch>
void runs_add(const NativeState& state, PyObject* text, bool lines, PyObject* table, PyObject* ids) {
    Ref words = new_table(state);  // the text's words, a str made once for each
    std::vector<uint32_t> block_ids;
    TokenNumbers numbers(table);
    kept_sentences<Ch>(
        text, PyUnicode_GET_LENGTH(text), lines, state.split_ahead, words.get(),
        [&](const std::vector<PyObject*>& sentence) { sentence_ids(numbers, sentence, block_ids); },
        [&] {
            append_ids(ids, block_ids);
            block_ids.clear();
        });
}

}  // namespace

PyObject* runs_add_function(PyObject* module, PyObject* args) {
    PyObject *text, *table, *ids;
    int lines;
    if (!PyArg_ParseTuple(args, "OpO!O!:_runs_add", &text, &lines, &PyDict_Type, &table, &PyByteArray_Type, &ids)) {
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] {
        checked_text(text);
        const NativeState& state = module_state(module);
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: runs_add<Py_UCS1>(state, text, lines != 0, table, ids); break;
            case PyUnicode_2BYTE_KIND: runs_add<Py_UCS2>(state, text, lines != 0, table, ids); break;
            default: runs_add<Py_UCS4>(state, text, lines != 0, table, ids);
        }
        Py_RETURN_NONE;
    });
}

}  // namespace zantu::native
