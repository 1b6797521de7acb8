# Extra settings of the KVM machine library (quorrel_vm).
target_link_libraries(quorrel_vm PUBLIC nlohmann_json::nlohmann_json)
