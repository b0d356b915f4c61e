#include "CUpsReply.h"

#include <string.h>

CUpsReply::CUpsReply() : m_Kind(UpsReplyMalformed) {}

UpsReplyKind CUpsReply::Fail()
{
    m_Text.clear();
    m_Kind = UpsReplyMalformed;
    return m_Kind;
}

UpsReplyKind CUpsReply::Parse(const std::string& line, const char* lpszUps, const char* lpszVar)
{
    m_Text.clear();
    // "OK" stands alone or carries a word the server chose ("OK Goodbye").
    if (line == "OK" || line.compare(0, 3, "OK ") == 0) {
        m_Kind = UpsReplyOk;
        return m_Kind;
    }
    if (line.compare(0, 4, "ERR ") == 0) {
        return ParseErr(line.substr(4));
    }
    if (line.compare(0, 4, "VAR ") == 0 && lpszUps != NULL && lpszVar != NULL) {
        return ParseVar(line.substr(4), lpszUps, lpszVar);
    }
    return Fail();
}

// "ERR WORD [more]": the word is upper-case letters and dashes.
UpsReplyKind CUpsReply::ParseErr(const std::string& rest)
{
    const size_t cch = rest.find(' ');
    const std::string word = rest.substr(0, cch);
    if (word.empty() || word.size() > MAX_WORD) {
        return Fail();
    }
    for (size_t i = 0; i < word.size(); ++i) {
        if (!((word[i] >= 'A' && word[i] <= 'Z') || word[i] == '-')) {
            return Fail();
        }
    }
    m_Text = word;
    m_Kind = UpsReplyErr;
    return m_Kind;
}

// "<ups> <var> "<value>"": the names must be the ones asked for, so that a reply left over from
// another request (or a server that mixes them up) is never taken for the value asked for.
UpsReplyKind CUpsReply::ParseVar(const std::string& rest, const char* lpszUps, const char* lpszVar)
{
    const std::string prefix = std::string(lpszUps) + " " + lpszVar + " ";
    if (rest.compare(0, prefix.size(), prefix) != 0) {
        return Fail();
    }
    return ParseQuoted(rest.substr(prefix.size()));
}

UpsReplyKind CUpsReply::ParseQuoted(const std::string& text)
{
    if (text.empty() || text[0] != '"') {
        return Fail();
    }
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            // The closing quote ends the line.
            if (i + 1 != text.size()) {
                return Fail();
            }
            m_Kind = UpsReplyVar;
            return m_Kind;
        }
        // A backslash takes the next character as it stands (\" and \\ above all).
        if (text[i] == '\\' && ++i == text.size()) {
            break;
        }
        m_Text += text[i];
    }
    return Fail();
}
