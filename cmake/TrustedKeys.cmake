# Validates -DTOLVEX_TRUSTED_KEYS at configure time: a client built with a
# malformed key would refuse every publisher, which is only noticed in the field.
function(tolvex_parse_trusted_keys keys out1 out2)
  set(first "")
  set(second "")
  if(keys STREQUAL "")
    message(WARNING "TOLVEX_TRUSTED_KEYS is not set: this client trusts no publisher "
                    "and refuses every updater-source.json (public key mismatch).")
  else()
    list(LENGTH keys count)
    if(count GREATER 2)
      message(FATAL_ERROR "TOLVEX_TRUSTED_KEYS holds ${count} keys; give one or two, separated by ';'.")
    endif()
    foreach(key IN LISTS keys)
      # 44 Base64 characters, one '=' of padding, and a last data character whose two
      # unused bits are zero: exactly the text of a 32-byte key.
      if(NOT key MATCHES "^[A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][AEIMQUYcgkosw048]=$")
        message(FATAL_ERROR "TOLVEX_TRUSTED_KEYS: '${key}' is not the Base64 text of a 32-byte "
                            "Ed25519 public key (44 characters ending in '=', as written by 'tolvex keygen').")
      endif()
    endforeach()
    list(GET keys 0 first)
    if(count EQUAL 2)
      list(GET keys 1 second)
    endif()
  endif()
  set(${out1} "${first}" PARENT_SCOPE)
  set(${out2} "${second}" PARENT_SCOPE)
endfunction()
