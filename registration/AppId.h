// The AppID that the registrar scripts' %APPID% marker stands for, shared by
// self-registration and the installer packages' generator.
#pragma once

namespace velmora {

inline constexpr char kAppId[] = "{3726D7AF-4014-4B19-A3B0-18B70FB633F4}";

}  // namespace velmora
