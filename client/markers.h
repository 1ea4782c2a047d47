// Link targets that carry positions into the PDF as link annotations. The
// hosts are reserved (.invalid), so a viewer can never reach them.
#pragma once

inline constexpr char kWebElementMarkerUrl[] = "https://element.halvern.invalid/";
inline constexpr char kBookmarkMarkerUrl[] = "https://bookmark.halvern.invalid/";
inline constexpr char kContentEndMarkerUrl[] = "https://content-end.halvern.invalid/";
