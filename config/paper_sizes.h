// Named paper sizes in points, shared by --paper-size= and "paperSize".
#pragma once

#include <string>

// The tail of both unknown-paper error lines.
inline constexpr const char* kPaperSizeNames =
    "Letter, Note, Legal, A0-A10, B0-B5, ArchA-E, Flsa, HalfLetter, Letter11x17, Ledger";

// Exact, case-sensitive name. Leaves w and h untouched when not found.
bool LookupPaperSize(const std::string& name, double& w, double& h);
