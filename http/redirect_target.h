#pragma once

#include <string>

// The URL a redirect leads to: `location` (a Location header's text) taken
// relative to `base`, the URL that was redirected, as a browser takes it: a
// URL with a scheme stays as it is; "//host/path" keeps the base's scheme;
// "/path" keeps its scheme, host and port; anything else replaces the last
// segment of the base's path (a "?query" alone replaces its query). The
// fragment of the base is never carried over. Text only: nothing is checked
// or resolved here.
[[nodiscard]] std::wstring ResolveRedirect(const std::wstring& base, const std::wstring& location);
