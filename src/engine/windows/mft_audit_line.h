#pragma once

#include <string>

#include "engine/windows/mft_audit.h"

namespace quillon {

// The "MFT Audit:" line (no line break).
std::string format_audit_line(const MftAudit& audit);

}  // namespace quillon
