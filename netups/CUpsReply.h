// One reply line of the UPS server taken apart: OK, ERR with its word, or VAR with its value
// (quoted, with backslash escapes); anything else, or a VAR of another UPS or variable, is
// malformed and ends the session.
#pragma once

#include <string>

enum UpsReplyKind {
    UpsReplyMalformed,
    UpsReplyOk,
    UpsReplyErr,
    UpsReplyVar,
};

class CUpsReply {
public:
    CUpsReply();

    // lpszUps and lpszVar: the VAR expected (NULL when the request was no GET).
    UpsReplyKind Parse(const std::string& line, const char* lpszUps, const char* lpszVar);

    UpsReplyKind GetKind() const { return m_Kind; }
    // The ERR word, or the VAR value unescaped.
    const std::string& GetText() const { return m_Text; }

private:
    static const size_t MAX_WORD = 40;

    UpsReplyKind ParseErr(const std::string& rest);
    UpsReplyKind ParseVar(const std::string& rest, const char* lpszUps, const char* lpszVar);
    UpsReplyKind ParseQuoted(const std::string& text);
    UpsReplyKind Fail();

    UpsReplyKind m_Kind;
    std::string m_Text;
};
