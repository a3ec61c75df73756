// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256, for the sample card's manifest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string Sha256Hex(const std::uint8_t* data, std::size_t size);
