#pragma once
// The office database's schema (docs/office.md): created and brought up to date
// by `de30-office --init`, one numbered step at a time, each step recorded in
// de30_schema with the moment it was applied.

#include "pg.hpp"

namespace de30::office {

// The version this de30-office writes.
int LatestSchema();
// The version the database has; 0 for none.
int SchemaVersion(TPg &Db);
// Applies the steps the database lacks, each in its own transaction, under a
// lock so that two processes never apply one twice; the version reached.
// Refuses (EDatabase) a database newer than this program.
int Migrate(TPg &Db);

} // namespace de30::office
