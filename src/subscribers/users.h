// The user table: every subscriber of users/user_profile.xml, in file order.
//
// The table is an immutable snapshot. Readers take users() and keep it as long as they
// like; every change edits one entry of the file, saves it through the safe replacement
// and only then publishes a new table. Changes are serialised under one writer lock.
#pragma once
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "subscribers/user_profile.h"

namespace kx {

struct UserTable {
  std::vector<UserPtr> list;                        // file order
  std::map<std::string, int, std::less<>> by_id;    // user id -> index in list
  int find(std::string_view id) const;              // index or -1
};
using UserTablePtr = std::shared_ptr<const UserTable>;

// The current table (never null; empty before a load and after a release).
UserTablePtr users();

// Start-up: reads users/user_profile.xml (its backup when the file is missing, empty or
// unreadable), publishes the table, and rewrites a plain or older file in the current
// form, keeping the previous file as users/user_profile_decrypt.xml (when that rewrite
// fails the file keeps its form, and edits write their entries in it). 1, or 0 with an
// empty table when nothing could be read.
int load_user_profiles();
// Shutdown: publishes an empty table; records held by sessions stay valid.
void release_user_profiles();

// Index in the current table, or -1; an empty id logs "User Name is NULL".
int find_user(std::string_view id);
// The record of a user of the current table, null when there is none.
UserPtr user_by_id(std::string_view id);

// Editing. Results: 0 refused or failed (file and table unchanged), 1 done, 2 write
// error, 3 the user exists already (add). Positions are 1-based: the new user takes index
// position - 1, from 2 to count + 1 (1 only while the table is empty).
//
// The record's text fields must be safe file text within their widths, the pay-per-view
// mode one of the four and the points finite. An expiry text is "month/day/year" or a
// number of days, at most 11 characters of digits and "/".
int add_user(int position, const User_Profile& rec, std::string_view expiry_text);
// n PIN-code accounts (1 <= n <= kMaxMultipleUsers) whose id, password and rating password
// are the same random 10-digit number, each valid for amount years (unit "year",
// 1..100) or amount months of 30 days (any other unit, 1..1200) from its first login.
int add_multiple_users(int position, int n, int amount, std::string_view unit,
                       std::string_view group);
// Replace the user at index (whose id must be rec.user_id) with rec's fields; the expiry
// comes from the text (update) or from the record (store).
int update_user(int index, const User_Profile& rec, std::string_view expiry_text);
int store_user(int index, const User_Profile& rec);
// Removes the user at index (whose id must be user_id) and takes it out of its reseller.
// root cannot be deleted.
int delete_user(int index, std::string_view user_id);

inline constexpr int kMaxMultipleUsers = 10000;

// "%02d/%02d/%04d\n" (month, day, year) for a user; 0 when unknown.
int get_expiry_text(std::string_view user_id, std::string& out);

// The whole user file in plain form (the download of the panel); returns its length.
std::size_t export_user_profiles(std::string& out);

// Re-runs the group check for every user against the current group table (after the
// groups were reloaded). The table only; the file is not changed.
void refresh_user_groups();

// Walks the players of a user under the user's lock and returns the first one match
// accepts, or null. A player may end and be freed as soon as the lock is released: act on
// it inside match (which runs under the lock); the returned pointer only tells whether and
// which one matched, and must not be followed.
void* find_player_of_user(std::string_view user_id, const std::function<bool(void*)>& match);

// ---- the file text, without files (also used by the fuzz target) ----

enum class PasswordForm { kPlain, kOlder, kCurrent };

// The password form the declaration of a user file announces.
PasswordForm user_file_form(std::string_view text);

// The users of a user file's text, in file order, with expiry corrections, malformed
// entries skipped and later duplicates dropped (each with its log line). Group references
// are resolved against the current group table.
std::vector<UserPtr> parse_user_text(std::string_view text);

// One user's entry in the current form (enciphered passwords) or the plain form.
std::string format_user_entry(const User_Profile& u, bool plain);
// A whole file in the current form.
std::string format_user_file(const std::vector<UserPtr>& list);

// Parses an expiry text the way the editing operations do: 1 with year/month/day, 0 when
// it is refused.
int parse_expiry_text(std::string_view text, int& year, int& month, int& day);

}  // namespace kx
