#pragma once
// Keys of the texts the component looks up with localizedOrMain. The alert
// message's key, "text_auth_error_detail", is written where it is used and
// has no constant here.

inline constexpr char TEXT_AUTH_ERROR[] = "text_auth_error";
inline constexpr char TEXT_OK[] = "text_ok";
inline constexpr char TEXT_SETTING[] = "text_setting";
