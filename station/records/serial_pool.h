// What the record store's writing of a run shares with the serial pools
// (serial_pool.cpp): settling a run's number inside a transaction already
// begun.
#pragma once

#include <string>

#include "records/run_record.h"

struct record_store;

// Settles the number of `record` (its serial use) as the record says, for
// the run that holds it (its run id). A number that is no longer the run's
// (given back meanwhile, taken by another board) is a conflict: the record
// is changed to say so (failed, the conflict in its reason, the number's
// state `conflict`) and the number left as it is. A number the database
// has not seen is settled there as the record says. False, and why, only
// when the database fails. Inside a write transaction.
bool settle_run_number(record_store& store, run_record& record, std::string& why);
