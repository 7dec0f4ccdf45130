#include "commandline.h"

#include <array>
#include <cstddef>

namespace PowerShellStandIn {

namespace {

void setError(std::string *error, const std::string &message)
{
    if (error)
        *error = message;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Length in bytes of the single quote that starts text at pos, or 0. The typographic ones are
// U+2018..U+201B, encoded as E2 80 98..9B.
std::size_t singleQuoteLength(std::string_view text, std::size_t pos)
{
    if (pos < text.size() && text[pos] == '\'')
        return 1;
    if (pos + 2 < text.size() && static_cast<unsigned char>(text[pos]) == 0xE2
        && static_cast<unsigned char>(text[pos + 1]) == 0x80) {
        const auto third = static_cast<unsigned char>(text[pos + 2]);
        if (third >= 0x98 && third <= 0x9B)
            return 3;
    }
    return 0;
}

bool containsSingleQuote(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (singleQuoteLength(text, i) > 0)
            return true;
    }
    return false;
}

class Reader
{
public:
    explicit Reader(std::string_view text)
        : m_text(text)
    {
    }

    void skipBlanks()
    {
        while (m_pos < m_text.size() && isBlank(m_text[m_pos]))
            ++m_pos;
    }

    bool atEnd()
    {
        skipBlanks();
        return m_pos >= m_text.size();
    }

    // A bare word up to the next blank.
    bool word(std::string_view expected, std::string *error)
    {
        skipBlanks();
        const std::size_t start = m_pos;
        while (m_pos < m_text.size() && !isBlank(m_text[m_pos]))
            ++m_pos;
        const std::string_view found = m_text.substr(start, m_pos - start);
        if (!equalsIgnoringAsciiCase(found, expected) || containsSingleQuote(found)) {
            setError(error, found.empty()
                                ? "Missing '" + std::string(expected) + "' in the command."
                                : "Unexpected '" + std::string(found)
                                      + "' in the command, expected '" + std::string(expected)
                                      + "'.");
            return false;
        }
        return true;
    }

    bool quoted(const char *parameter, std::string *value, std::string *error)
    {
        skipBlanks();
        std::size_t quote = singleQuoteLength(m_text, m_pos);
        if (quote == 0) {
            setError(error,
                     std::string("The value of ") + parameter + " must be a single-quoted string.");
            return false;
        }
        m_pos += quote;
        value->clear();
        for (;;) {
            if (m_pos >= m_text.size()) {
                setError(error, "The string is missing the terminator: '.");
                return false;
            }
            quote = singleQuoteLength(m_text, m_pos);
            if (quote == 0) {
                value->push_back(m_text[m_pos++]);
                continue;
            }
            const std::size_t next = singleQuoteLength(m_text, m_pos + quote);
            if (next == 0) {
                m_pos += quote;
                break;
            }
            // A doubled quote stands for the second of the two.
            value->append(m_text.substr(m_pos + quote, next));
            m_pos += quote + next;
        }
        if (m_pos < m_text.size() && !isBlank(m_text[m_pos])) {
            setError(error, std::string("Unexpected text after the value of ") + parameter + ".");
            return false;
        }
        if (value->empty()) {
            setError(error, std::string("Cannot bind argument to parameter '") + (parameter + 1)
                                + "' because it is an empty string.");
            return false;
        }
        return true;
    }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

} // namespace

bool parseExpandArchiveCommand(std::string_view command, ExpandArchiveRequest *out,
                               std::string *error)
{
    Reader reader(command);
    if (!reader.word("Expand-Archive", error) || !reader.word("-LiteralPath", error)
        || !reader.quoted("-LiteralPath", &out->literalPath, error)
        || !reader.word("-DestinationPath", error)
        || !reader.quoted("-DestinationPath", &out->destinationPath, error)
        || !reader.word("-Force", error))
        return false;
    if (!reader.atEnd()) {
        setError(error, "Unexpected text after -Force in the command.");
        return false;
    }
    return true;
}

bool parseArguments(const std::vector<std::string> &arguments, ExpandArchiveRequest *out,
                    std::string *error)
{
    static const std::array<const char *, 5> expected = {"-NoProfile", "-NonInteractive",
                                                         "-ExecutionPolicy", "Bypass", "-Command"};
    if (arguments.size() != expected.size() + 1) {
        setError(error, "Expected the arguments -NoProfile -NonInteractive -ExecutionPolicy Bypass "
                        "-Command <command>.");
        return false;
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (!equalsIgnoringAsciiCase(arguments[i], expected[i])) {
            setError(error,
                     "Unexpected argument '" + arguments[i] + "', expected '" + expected[i] + "'.");
            return false;
        }
    }
    return parseExpandArchiveCommand(arguments.back(), out, error);
}

} // namespace PowerShellStandIn
