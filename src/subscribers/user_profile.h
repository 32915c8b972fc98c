// A subscriber: the profile stored in users/user_profile.xml and the runtime state that
// the streaming side keeps for it while the server runs.
#pragma once
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "catalogue/groups.h"
#include "core/os/ptr_list.h"
#include "core/os/sync.h"

namespace kx {

// Field widths. Values given to the editing operations must fit (longer ones are refused);
// values read from the file are cut to them.
inline constexpr std::size_t kUserIdMax = 127;
inline constexpr std::size_t kUserPasswordMax = 127;
inline constexpr std::size_t kUserGroupMax = 127;
inline constexpr std::size_t kUserSmartPhoneMax = 31;
inline constexpr std::size_t kUserDeviceMax = 12;  // tablet, desktop, tv
inline constexpr std::size_t kUserNameMax = 63;    // first name, last name, city
inline constexpr std::size_t kUserAddressMax = 255;
inline constexpr std::size_t kUserZipMax = 15;
inline constexpr std::size_t kUserTelMax = 31;
inline constexpr std::size_t kUserEmailMax = 127;
inline constexpr std::size_t kUserResellerMax = 127;
inline constexpr std::size_t kUserIpMax = 15;
inline constexpr std::size_t kUserMacMax = 12;

// Pay-per-view modes.
inline constexpr int kPayPre = 0, kPayPost = 1, kPayFree = 2, kPayNone = 4;

// What the server keeps for a user while it runs. Every version of the same user's
// profile shares one runtime, so replacing a profile never loses its connections.
struct UserRuntime {
  Mutex lock;                           // guards players and reseller
  PtrList players;                      // the user's connected players (not owned)
  std::atomic<int> connections{0};      // players of this user connected now
  std::atomic<int> password_errors{0};  // failed password attempts
  std::string reseller;                 // owning reseller's name, empty when none
};

// One user. A record in the published user table is never changed in place: a change
// publishes a new record that shares the old runtime.
struct User_Profile {
  std::string user_id;   // unique, compared exactly
  std::string password;  // plain in memory
  std::string group_name;
  std::shared_ptr<const Group> group;  // set by the group check
  // A date (month, day, year; year or month not 0), or, with year and month 0, a number
  // of days that the first login turns into a date (a PIN-code account).
  int expiry_year = 0, expiry_month = 0, expiry_day = 0;
  std::string rating_password;  // plain in memory
  int ppv_mode = kPayNone;      // kPayPre, kPayPost, kPayFree or kPayNone
  float ppv_points = 0.0f;
  std::string smart_phone, tablet, desktop, tv;
  std::string first_name, last_name, address, city, zip, tel, email;
  std::string user_ip;  // when set, the address the user must connect from
  std::string mac_id;   // when set, the device the user is bound to
  std::shared_ptr<UserRuntime> rt;

  bool day_count() const { return expiry_year == 0 && expiry_month == 0; }
};

using UserPtr = std::shared_ptr<User_Profile>;

// The reseller a user belongs to now ("" when none).
std::string user_reseller(const User_Profile& u);

}  // namespace kx
