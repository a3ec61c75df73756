// SPDX-License-Identifier: GPL-3.0-or-later
// The only list of the formats, in the order the scan tests them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/formats/format.h"

// Every format, in the scan's order.
std::span<const TFormat* const> Formats();

// The formats a sector's bytes pick (see TFormat::keyOffset), one bit per
// index into Formats(), lowest first in the scan's order.
std::uint32_t CandidateFormats(const std::uint8_t* sector, std::size_t size);
