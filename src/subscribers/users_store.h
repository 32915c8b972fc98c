// Shared between the two halves of the user store (users.cpp, users_file.cpp); not for
// other modules.
#pragma once
#include <string>
#include <vector>

#include "catalogue/store_file.h"
#include "subscribers/users.h"

namespace kx::user_store {

inline constexpr const char* kUserFile = "users/user_profile.xml";
inline constexpr const char* kUserTempFile = "users/user_profile_temp.xml";
inline constexpr const char* kUserBackupFile = "users/user_profile_backup.xml";
inline constexpr const char* kUserDecryptFile = "users/user_profile_decrypt.xml";

StoreFile& file();
// The writer lock: held for a whole change (read, edit, save, publish).
Mutex& writer();

UserTablePtr snapshot();
void publish(std::vector<UserPtr> list);

// Writes a message to standard output (the messages an operator watching the console
// expects).
void say(const char* text);
// Makes a file of the working directory readable by the owner alone, when it exists.
void protect(const char* name);

// atoi without overflow: blanks, a sign, digits; held at the 32-bit limits.
int read_int(std::string_view s);

// The group check: sets u.group; a name that names no group becomes the first group's
// (logged when log_change).
void check_group(User_Profile& u, bool log_change);

// The stored form of an expiry: "%02d/%02d/%04d" (month/day/year) or the day count.
std::string expiry_text(const User_Profile& u);
// An entry as a file whose declaration announces form stores it: passwords enciphered
// (current), scrambled (older) or as they are (plain), the expiry as stored.
// points_text replaces the formatted points when given.
std::string entry_text(const User_Profile& u, PasswordForm form, const char* points_text);
// Whether the user's passwords survive being stored in form (the older form holds
// passwords of at most 48 characters; the plain form no '<', '>' or line ends).
bool entry_fits(const User_Profile& u, PasswordForm form);

}  // namespace kx::user_store
