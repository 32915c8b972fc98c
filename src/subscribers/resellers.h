// Resellers: named accounts that own lists of users. reseller/reseller_index.xml lists
// the resellers, reseller/<name>.xml the users of each.
//
// The reseller table is an immutable snapshot like the user table: every change saves
// its file first and then publishes a new table, under one writer lock. A user belongs to
// at most one reseller; its runtime carries the reseller's name.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

inline constexpr std::size_t kResellerNameMax = 127;

struct Reseller {
  std::string name;
  // User ids in file order. Look the records up by id (user_by_id) when needed: the user
  // table is replaced on every change.
  std::vector<std::string> users;
  int find(std::string_view user_id) const;  // position (0-based) or -1
};
using ResellerPtr = std::shared_ptr<const Reseller>;

struct ResellerTable {
  std::vector<ResellerPtr> list;  // index file order
  int find(std::string_view name) const;  // index or -1
};
using ResellerTablePtr = std::shared_ptr<const ResellerTable>;

// The current table (never null; empty before a load and after a release).
ResellerTablePtr resellers();

// A name that may name a reseller: file-safe, at most 127 characters, and not the name
// of the index or of another reseller's temporary or backup file.
bool reseller_name_ok(std::string_view name);

// Start-up, after the users: reads the index and every reseller's file (each with its
// backup fallback) and fills in the users' reseller names. Users not in the user table,
// or claimed by an earlier reseller, are skipped with a warning. 1, or 0 (with an empty
// table) when the index could not be read.
int load_resellers();
// Shutdown: publishes an empty table.
void release_resellers();

// Index or -1; an empty name logs "Reseller Name is NULL".
int find_reseller(std::string_view name);
// Position (0-based) of a user in the reseller at index, or -1; an empty id logs
// "User Name is NULL".
int find_reseller_user(int reseller, std::string_view user_id);

// Results: 0 refused or failed (files and table unchanged), 1 done, 2 write error, 3
// exists already.
int add_reseller(std::string_view name);
// index must name the reseller called name. Its file is removed (a reseller created
// again later starts empty) and its users no longer belong to a reseller.
int delete_reseller(int index, std::string_view name);
// Inserts the user at the 1-based position in the reseller's list (a position past the
// end appends). 3 when the user is in this reseller already; 0 when it belongs to another
// reseller, or is root.
int add_reseller_user(int reseller, int position, std::string_view user_id);
int remove_reseller_user(int reseller, std::string_view user_id);
// Takes a user out of whichever reseller holds it (the user is being deleted): 1 removed,
// 0 in no reseller, 2 write error.
int remove_user_from_reseller(std::string_view user_id);

}  // namespace kx
