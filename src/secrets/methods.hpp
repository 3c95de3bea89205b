// The implementations behind get_top_secret and the seven methods of Secrets. Each receives its
// arguments bound to its parameters (CallArgs), cls or self first.
#pragma once

#include "function.hpp"

namespace kuv {

Ref get_top_secret_impl(const CallArgs& a);      // key                       topsecret.cpp
Ref secret_parser_impl(const CallArgs& a);       // cls, source, owner_name, prefix     walker.cpp
Ref secret_composer_impl(const CallArgs& a);     // cls, raw_string, secret_manager, owner_name, prefix
                                                 //                           compose.cpp
Ref encrypt_impl(const CallArgs& a);             // cls, data, key            records.cpp
Ref decrypt_impl(const CallArgs& a);             // cls, data, key            records.cpp
Ref get_secret_from_id_impl(const CallArgs& a);  // cls, secret_id, owner_name, prefix  resolve.cpp
Ref init_impl(const CallArgs& a);                // self, **kwargs            records.cpp
Ref update_secret_impl(const CallArgs& a);       // self, new_secret          records.cpp

}  // namespace kuv
