// Server responses of IMAP (RFC 3501, 7): how the bytes read from a connection are gathered into
// whole responses, and how the parts of one are read.
//
// A response is a line ended by CR LF (a bare LF is taken too) that may carry literals: a line
// piece ending in "{n}" is followed by exactly n bytes of any value, and then the line goes on.
// Untagged ("* ..."), continuation ("+ ...") and tagged responses are gathered alike.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <deque>

namespace Imap {

struct Response
{
    // The line pieces: every piece but the last ends with "{n}" (line end removed), and literal i
    // follows piece i. The last piece is the rest of the line, without its line end.
    QList<QByteArray> pieces;
    QList<QByteArray> literals;
    bool truncated = false; // a literal was longer than MaxLiteralBytes: only its start is kept

    QByteArrayView firstLine() const { return pieces.isEmpty() ? QByteArrayView() : pieces[0]; }
};

// Gathers the bytes of a connection into whole responses, however they are split across reads.
//
// Every size is bounded, so that a hostile server cannot make the program hold unbounded memory:
// the text of one response (outside its literals) may be MaxTextBytes long, a literal may
// declare at most MaxDeclaredLiteral bytes, and of each literal the first MaxLiteralBytes are
// kept (the rest is read and dropped). A response that breaks a bound on its text or its
// declared size makes the connection unusable: failed() is then true and nothing more is read.
class ResponseAssembler
{
public:
    static constexpr qsizetype MaxTextBytes = 4 * 1024 * 1024;
    static constexpr qsizetype MaxLiteralBytes = 1024 * 1024;
    static constexpr qint64 MaxDeclaredLiteral = 64 * 1024 * 1024;

    void feed(QByteArrayView bytes);
    bool hasResponse() const { return !m_ready.empty(); }
    Response takeResponse(); // the oldest whole response; an empty one if none
    bool failed() const { return m_failed; }
    QByteArray failure() const { return m_failure; } // why, in a few English words
    void clear();                                    // forgets everything, for a new connection

private:
    void endLine();
    void fail(const char *why);

    std::deque<Response> m_ready;
    Response m_current;
    QByteArray m_line;         // the piece in progress
    qsizetype m_text = 0;      // bytes of text in m_current so far
    qint64 m_literalLeft = -1; // bytes of the literal still to come; -1: in a line
    bool m_failed = false;
    QByteArray m_failure;
};

// Reads the parts of one response in order (RFC 3501, 9): atoms, numbers, quoted strings,
// literals, NIL and parenthesized lists. Every read returns false (or an empty value) at the end
// or on anything else than asked, and leaves the position where it was.
class Reader
{
public:
    explicit Reader(const Response &response) : m_r(response) {}

    bool atEnd() const;
    // Skips spaces; true if the next byte is `c`, which is then consumed.
    bool take(char c);
    bool peek(char c) const;
    // An atom: bytes up to a space, a parenthesis, a bracket, a brace, a quote or the end. With
    // `brackets`, "[...]" (nested ones too) and a following "<...>" belong to it, as in
    // "BODY[HEADER.FIELDS (FROM)]<0>".
    QByteArray atom(bool brackets = false);
    bool number(quint32 *value);
    // A quoted string, a literal or NIL (null), as an nstring or astring is.
    bool string(QByteArray *value, bool *truncated = nullptr);
    // Any one value: atom, string, literal or list (to the depth of MaxDepth), read and dropped.
    bool skipValue(int depth = 0);
    // The rest of the current piece, from the position, spaces in front skipped.
    QByteArray rest();

    static constexpr int MaxDepth = 64;

private:
    QByteArrayView piece() const { return m_r.pieces[m_piece]; }
    void skipSpaces();
    bool literal(QByteArray *value, bool *truncated);

    const Response &m_r;
    qsizetype m_piece = 0, m_pos = 0;
};

} // namespace Imap
