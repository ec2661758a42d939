// What the record store's writing of a run shares with the serial pools
// (serial_pool.cpp): settling a number inside a transaction already begun.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "records/run_record.h"

struct record_store;

// Marks a number that is taken and unsettled spent (with `board_id`) or
// returned; refuses any other number. Inside a write transaction.
bool settle_taken_number(record_store& store, const std::string& pool, uint64_t number,
                         serial_settlement settlement, const std::optional<std::string>& board_id,
                         std::string& why);
