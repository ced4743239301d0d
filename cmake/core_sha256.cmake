# Writes the SHA-256 of the shipped Core into a source file.
file(SHA256 "${CORE}" digest)
file(WRITE "${OUTPUT}" "#include \"service/hub/core_digest.hpp\"\n\nnamespace service::hub {\n\nconst std::string_view CORE_SHA256 = \"${digest}\";\n\n}  // namespace service::hub\n")
