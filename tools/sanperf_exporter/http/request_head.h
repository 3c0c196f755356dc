// The checks a request's head must pass before any route is looked at,
// beyond those libmicrohttpd makes itself. Apart from the listener so that
// they can be run on any bytes without a server.
#pragma once

namespace sanperf_exporter {

// What RFC 9112 has a server refuse in a request's head, as far as it shows
// in the headers libmicrohttpd parsed: a name that is not a token (a space
// before the colon leaves one in the name, and a proxy may read that header
// where this server would not), a control byte in a value (a bare CR), no
// Host or more than one on HTTP/1.1, more than one Content-Length, a line
// folded onto the one before. Then a
// body framed two ways at once (the way request smuggling starts), or a
// body on a method that takes none. libmicrohttpd itself refuses a
// Content-Length that is not a plain decimal.
class request_head_check {
public:
    // Takes one header as parsed; false once the head is malformed, when the
    // others need not be given.
    bool add(const char* name, const char* value);
    // Marks the head malformed for a line folded onto the one before
    // (obs-fold), which only the parser that joined the lines can tell.
    void add_folded_line() { bad_ = true; }
    // Whether a request of method and version ("HTTP/1.1") with the headers
    // given must be answered 400.
    bool malformed(const char* method, const char* version) const;

private:
    unsigned hosts_ = 0;
    unsigned lengths_ = 0;
    bool bad_ = false;
    bool length_not_zero_ = false;  // the first Content-Length announces a body
    bool encoding_ = false;         // a Transfer-Encoding is there
};

// Whether method is GET or HEAD, the methods that take no body.
bool is_get_or_head(const char* method);

}  // namespace sanperf_exporter
