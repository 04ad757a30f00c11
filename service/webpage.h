#pragma once

#include "httpgate.h"

// The browser page the service serves at "/": its files are built into the
// program, so a facility network without outside access still gets all of it.
// The page itself uses only the API and the events, with the token it asks for.
namespace WebPage {

// The answer to a request for the page or one of its files; false when the
// path is no page path (the API's then).
bool serve(const Http::Request &request, Http::Response *out);

} // namespace WebPage
