// Page scripts compiled in from client/scripts/*.js.
#pragma once

extern const char* const kScript_lazy_instrumentation;
extern const char* const kScript_manual_start;
extern const char* const kScript_lazy_signals;
extern const char* const kScript_lazy_eager;
extern const char* const kScript_lazy_scroll;
extern const char* const kScript_wait_until;
extern const char* const kScript_anchors;
extern const char* const kScript_metadata;
extern const char* const kScript_bookmarks;
extern const char* const kScript_element_box;
extern const char* const kScript_isolate;
extern const char* const kScript_managed_trim_common;
extern const char* const kScript_managed_trim_first_page;
extern const char* const kScript_managed_trim_marker;
extern const char* const kScript_managed_trim_ink;
extern const char* const kScript_css_page_size;
