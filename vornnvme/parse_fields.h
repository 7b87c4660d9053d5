// Field tables of the Identify Controller and Identify Namespace parsers.
//
// Each X_* row generates one parser: its name suffix, its byte offset and the description that
// names the field in the short-buffer message. Offsets and widths follow the NVMe base
// specification (Identify Controller and Identify Namespace data structures).
//
//   X_B  byte (u8)         X_W  word (u16)        X_DW dword (u32)        X_OW oword (vornnvme_oword)
//
// Bit parsers read their field through the field parser and return one bit or a bit group:
//   X_BIT(name, field, shift, width)     value = (field >> shift) masked to width bits
//   X_FLAG(name, field, bit)             value = field & (1 << bit), the bit left in place
// No #pragma once: the includer defines the X macros and includes this file once per use.

// Identify Controller: one row per field.
#define VORNNVME_IDENTIFY_CONTROLLER_FIELDS(X_B, X_W, X_DW, X_OW)                                   \
  X_W(pci_vendor_id, 0, "pci vendor id")                                                          \
  X_W(pci_subsystem_vendor_id, 2, "pci subsystem vendor id")                                      \
  X_B(recommended_arbitration_burst, 72, "recommended arbitration burst")                         \
  X_B(controller_multi_path_io_and_namespace_sharing_capabilities, 76,                            \
      "controller multi-path i/o and namespace sharing capabilities")                             \
  X_B(maximum_data_transfer_size_exp, 77, "maximum data transfer size exp")                      \
  X_W(controller_id, 78, "controller id")                                                         \
  X_DW(version, 80, "version")                                                                    \
  X_DW(rtd3_resume_latency, 84, "rtd3 resume latency")                                            \
  X_DW(rtd3_entry_latency, 88, "rtd3 entry latency")                                              \
  X_DW(optional_asynchronous_events_supported, 92, "optional asynchronous events supported")     \
  X_DW(controller_attributes, 96, "controller attributes")                                        \
  X_W(read_recovery_levels, 100, "read recovery levels")                                          \
  X_B(controller_type, 111, "controller type")                                                    \
  X_W(command_retry_delay_time_1, 128, "")                                                        \
  X_W(command_retry_delay_time_2, 130, "")                                                        \
  X_W(command_retry_delay_time_3, 132, "")                                                        \
  X_B(nvm_subsystem_report, 253, "nvm subsystem report")                                          \
  X_B(vpd_write_cycle_information, 254, "vpd write cycle information")                            \
  X_B(management_endpoint_capabilities, 255, "management endpoint capabilities")                  \
  X_W(optional_admin_command_support, 256, "optional admin command support")                      \
  X_B(abort_command_limit, 258, "abort command limit")                                            \
  X_B(asynchronous_event_request_limit, 259, "asynchronous event request limit")                  \
  X_B(firmware_updates, 260, "firmware updates")                                                  \
  X_B(log_page_attributes, 261, "log page attributes")                                            \
  X_B(error_log_page_entries, 262, "error log page entries")                                      \
  X_B(number_of_power_states_supported, 263, "number of power states supported")                  \
  X_B(admin_vendor_specific_command_configuration, 264,                                           \
      "admin vendor specific command configuration")                                              \
  X_B(autonomous_power_state_transition_attributes, 265,                                          \
      "autonomous power state transition attributes")                                             \
  X_W(warning_composite_temperature_threshold, 266, "warning composite temperature threshold")   \
  X_W(critical_composite_temperature_threshold, 268, "critical composite temperature threshold") \
  X_W(maximum_time_for_firmware_activation, 270, "maximum time for firmware activation")         \
  X_DW(host_memory_buffer_preferred_size, 272, "host memory buffer preferred size")              \
  X_DW(host_memory_buffer_minimum_size, 276, "host memory buffer minimum size")                  \
  X_DW(replay_protected_memory_block_support, 312, "replay protected memory block support")      \
  X_B(device_self_test_options, 318, "device self test options")                                  \
  X_W(keep_alive_support, 320, "keep alive support")                                              \
  X_W(host_controlled_thermal_management_attributes, 322,                                         \
      "host controlled thermal management attributes")                                            \
  X_W(minimum_thermal_management_temperature, 324, "minimum thermal management temperature")     \
  X_W(maximum_thermal_management_temperature, 326, "maximum thermal management temperature")     \
  X_DW(host_memory_buffer_minimum_descriptor_entry_size, 332,                                     \
       "host memory buffer miminum descriptor entry size")                                        \
  X_W(host_memory_maximum_descriptors_entries, 336, "host memory maximum descriptors entries")   \
  X_W(nvm_set_identifier_maximum, 338, "nvm set identifier maximum")                              \
  X_W(endurance_group_identifier_maximum, 340, "endurance group identifier maximum")              \
  X_B(ana_transition_time, 342, "ana transition time")                                            \
  X_B(asymmetric_namespace_access_capabilities, 343, "asymmetric namespace access capabilities") \
  X_DW(ana_group_identifier_maximum, 344, "ana group identifier maximum")                         \
  X_DW(number_of_ana_group_identifiers, 348, "number of ana group identifiers")                   \
  X_DW(persistent_event_log_size, 352, "persistent event log size")                               \
  X_W(domain_identifier, 356, "domain identifier")                                                \
  X_OW(max_endurance_group_capacity, 368, "max endurance group capacity")                        \
  X_B(submission_queue_entry_size, 512, "submission queue entry size")                            \
  X_B(completion_queue_entry_size, 513, "completion queue entry size")                            \
  X_W(maximum_outstanding_commands, 514, "maximum outstanding commands")                          \
  X_DW(number_of_namespaces, 516, "number of namespaces")                                         \
  X_W(optional_nvm_command_support, 520, "optional nvm command support")                          \
  X_W(fused_operation_support, 522, "fused operation support")                                    \
  X_B(format_nvm_attributes, 524, "format nvm attributes")                                        \
  X_B(volatile_write_cache, 525, "volatile write cache")                                          \
  X_W(atomic_write_unit_normal, 526, "atomic write unit normal")                                  \
  X_W(atomic_write_unit_power_fail, 528, "atomic write unit power fail")                          \
  X_B(nvm_vendor_specific_command_configuration, 530,                                             \
      "nvm vendor specific command configuration")                                                \
  X_B(namespace_write_protection_capabilities, 531, "namespace write protection capabilities")   \
  X_W(atomic_compare_and_write_unit, 532, "atomic compare and write unit")                        \
  X_W(optional_copy_format_support, 534, "optional copy format support")                          \
  X_DW(sgl_support, 536, "sgl support")                                                           \
  X_DW(maximum_number_of_allowed_namespaces, 540, "maximum number of allowed namespaces")        \
  X_OW(maximum_domain_namespace_attachments, 544, "maximum domain namespace attachments")        \
  X_DW(maximum_io_controller_namespace_attachments, 560,                                          \
       "maximum i/o controller namespace attachments")

// Identify Namespace: one row per field (the LBA format table has indexed parsers of its own).
#define VORNNVME_IDENTIFY_NAMESPACE_FIELDS(X_B, X_W, X_DW, X_OW)                                    \
  X_B(namespace_features, 24, "namespace features")                                               \
  X_B(number_of_lba_formats, 25, "number of lba formats")                                         \
  X_B(formatted_lba_size, 26, "formatted lba size")                                               \
  X_B(metadata_capabilities, 27, "metadata capabilities")                                         \
  X_B(end_to_end_data_protection_capabilities, 28, "end to end data protection capabilities")    \
  X_B(end_to_end_data_protection_type_settings, 29, "end to end data protection type settings")  \
  X_B(namespace_multi_path_io_and_namespace_sharing_capabilities, 30,                             \
      "namespace multi-path i/o and namespace sharing capabilities")                              \
  X_B(reservation_capabilities, 31, "reservation capabilities")                                   \
  X_B(format_progress_indicator, 32, "format progress indicator")                                 \
  X_B(deallocate_logical_block_features, 33, "deallocate logical block features")                 \
  X_W(namespace_atomic_write_unit_normal, 34, "namespace atomic write unit normal")              \
  X_W(namespace_atomic_write_unit_power_fail, 36, "namespace atomic write unit power fail")      \
  X_W(namespace_atomic_compare_and_write_unit, 38, "namespace atomic compare & write unit")       \
  X_W(namespace_atomic_boundary_size_normal, 40, "namespace atomic boundary size normal")        \
  X_W(namespace_atomic_boundary_offset, 42, "namespace atomic boundary offset")                  \
  X_W(namespace_atomic_boundary_size_power_fail, 44,                                              \
      "namespace atomic boundary size power fail")                                                \
  X_W(namespace_optimal_io_boundary, 46, "namespace optimal io boundary")                        \
  X_OW(nvm_capacity, 48, "nvm capacity")                                                          \
  X_W(namespace_preferred_write_granularity, 64, "namespace preferred write granularity")        \
  X_W(namespace_preferred_write_alignment, 66, "namespace preferred write alignment")            \
  X_W(namespace_preferred_deallocate_granularity, 68,                                             \
      "namespace preferred deallocate granularity")                                               \
  X_W(namespace_preferred_deallocate_alignment, 70, "namespace preferred deallocate alignment")  \
  X_W(namespace_optimal_write_size, 72, "namespace optimal write size")                          \
  X_DW(ana_group_identifier, 92, "ana group identifier")                                          \
  X_B(namespace_attributes, 99, "Namespace Attributes")                                           \
  X_W(nvm_set_identifier, 100, "nvm set identifier")                                              \
  X_W(endurance_group_identifier, 102, "endurance group identifier")

// Identify Controller bit parsers: (name, field, shift, width), or (name, field, bit) in place.
#define VORNNVME_IDENTIFY_CONTROLLER_BITS(X_BIT, X_FLAG)                                            \
  X_BIT(cmic_multiple_ports, controller_multi_path_io_and_namespace_sharing_capabilities, 0, 1)   \
  X_BIT(cmic_multiple_controllers, controller_multi_path_io_and_namespace_sharing_capabilities, 1, \
        1)                                                                                          \
  X_BIT(cmic_sr_iov_virtual_function, controller_multi_path_io_and_namespace_sharing_capabilities, \
        2, 1)                                                                                       \
  X_BIT(oaes_namespace_attribute_notices, optional_asynchronous_events_supported, 8, 1)           \
  X_BIT(oaes_firmware_activation_notices, optional_asynchronous_events_supported, 9, 1)           \
  X_BIT(oaes_asymmetric_namespace_access_change_notices, optional_asynchronous_events_supported,  \
        11, 1)                                                                                      \
  X_BIT(oaes_predictable_latency_event_aggregate_log_change_notices,                               \
        optional_asynchronous_events_supported, 12, 1)                                             \
  X_BIT(oaes_lba_status_information_notices, optional_asynchronous_events_supported, 13, 1)       \
  X_BIT(oaes_endurance_group_event_aggregate_log_change_notices,                                   \
        optional_asynchronous_events_supported, 14, 1)                                             \
  X_BIT(oaes_normal_nvm_subsystem_shutdown, optional_asynchronous_events_supported, 15, 1)        \
  X_BIT(oaes_zone_descriptor_changed_notices, optional_asynchronous_events_supported, 27, 1)      \
  X_BIT(oaes_discovery_log_page_change_notification, optional_asynchronous_events_supported, 31,  \
        1)                                                                                          \
  X_BIT(ctratt_host_identifier_128_bit, controller_attributes, 0, 1)                              \
  X_BIT(ctratt_non_operational_power_state_permissive_mode, controller_attributes, 1, 1)          \
  X_BIT(ctratt_nvm_sets, controller_attributes, 2, 1)                                             \
  X_BIT(ctratt_read_recovery_levels, controller_attributes, 3, 1)                                 \
  X_BIT(ctratt_endurance_groups, controller_attributes, 4, 1)                                     \
  X_BIT(ctratt_predictable_latency_mode, controller_attributes, 5, 1)                             \
  X_BIT(ctratt_traffic_based_keep_alive, controller_attributes, 6, 1)                             \
  X_BIT(ctratt_namespace_granularity, controller_attributes, 7, 1)                                \
  X_BIT(ctratt_sq_associations, controller_attributes, 8, 1)                                      \
  X_BIT(ctratt_uuid_list, controller_attributes, 9, 1)                                            \
  X_BIT(ctratt_multi_domain_subsystem, controller_attributes, 10, 1)                              \
  X_BIT(ctratt_fixed_capacity_management, controller_attributes, 11, 1)                           \
  X_BIT(ctratt_variable_capacity_management, controller_attributes, 12, 1)                        \
  X_BIT(ctratt_delete_endurance_group, controller_attributes, 13, 1)                              \
  X_BIT(ctratt_delete_nvm_set, controller_attributes, 14, 1)                                      \
  X_BIT(ctratt_extended_lba_formats_supported, controller_attributes, 15, 1)                      \
  X_BIT(nvmsr_nvme_storage_device, nvm_subsystem_report, 0, 1)                                    \
  X_BIT(nvmsr_nvme_enclosure, nvm_subsystem_report, 1, 1)                                         \
  X_BIT(vwci_write_cycles_remaining_valid, vpd_write_cycle_information, 7, 1)                     \
  X_BIT(vwci_write_cycles_remaining, vpd_write_cycle_information, 0, 7)                           \
  X_BIT(mec_smbus_port_management_endpoint, management_endpoint_capabilities, 0, 1)               \
  X_BIT(mec_pcie_port_management_endpoint, management_endpoint_capabilities, 1, 1)                \
  X_BIT(oacs_security_send_receive_supported, optional_admin_command_support, 0, 1)               \
  X_BIT(oacs_format_nvm_supported, optional_admin_command_support, 1, 1)                          \
  X_BIT(oacs_firmware_commit_and_download_supported, optional_admin_command_support, 2, 1)        \
  X_BIT(oacs_namespace_management_supported, optional_admin_command_support, 3, 1)                \
  X_BIT(oacs_device_self_test_supported, optional_admin_command_support, 4, 1)                    \
  X_BIT(oacs_directives_supported, optional_admin_command_support, 5, 1)                          \
  X_BIT(oacs_nvme_mi_send_receive_supported, optional_admin_command_support, 6, 1)                \
  X_BIT(oacs_virtualization_management_supported, optional_admin_command_support, 7, 1)           \
  X_BIT(oacs_doorbell_buffer_config_supported, optional_admin_command_support, 8, 1)              \
  X_BIT(oacs_get_lba_status_supported, optional_admin_command_support, 9, 1)                      \
  X_BIT(oacs_command_and_feature_lockdown_supported, optional_admin_command_support, 10, 1)       \
  X_BIT(first_firmware_slot_read_only, firmware_updates, 0, 1)                                    \
  X_BIT(number_of_firmware_slots, firmware_updates, 1, 3)                                         \
  X_BIT(firmware_activation_without_reset_supported, firmware_updates, 4, 1)                      \
  X_BIT(multiple_update_detection_supported, firmware_updates, 5, 1)                              \
  X_BIT(lpa_smart_log_per_namespace, log_page_attributes, 0, 1)                                   \
  X_BIT(lpa_commands_supported_and_effects_log, log_page_attributes, 1, 1)                        \
  X_BIT(lpa_extended_data_for_get_log_page, log_page_attributes, 2, 1)                            \
  X_BIT(lpa_telemetry_log, log_page_attributes, 3, 1)                                             \
  X_BIT(lpa_persistent_event_log, log_page_attributes, 4, 1)                                      \
  X_BIT(lpa_supported_log_pages_log, log_page_attributes, 5, 1)                                   \
  X_BIT(lpa_telemetry_data_area_4, log_page_attributes, 6, 1)                                     \
  X_BIT(admin_vendor_specific_commands_use_standard_format,                                        \
        admin_vendor_specific_command_configuration, 0, 1)                                         \
  X_BIT(nvm_vendor_specific_commands_use_standard_format,                                          \
        nvm_vendor_specific_command_configuration, 0, 1)                                           \
  X_BIT(autonomous_power_state_transitions_supported, autonomous_power_state_transition_attributes, \
        0, 1)                                                                                       \
  X_BIT(rpmbs_number_of_rpmb_units, replay_protected_memory_block_support, 0, 3)                  \
  X_BIT(rpmbs_authentication_method, replay_protected_memory_block_support, 3, 3)                 \
  X_BIT(rpmbs_total_size, replay_protected_memory_block_support, 16, 8)                           \
  X_BIT(rpmbs_access_size, replay_protected_memory_block_support, 24, 8)                          \
  X_BIT(dsto_one_self_test_at_a_time, device_self_test_options, 0, 1)                             \
  X_BIT(hctma_supported, host_controlled_thermal_management_attributes, 0, 1)                     \
  X_BIT(fuses_compare_and_write_supported, fused_operation_support, 0, 1)                         \
  X_BIT(sqes_required_entry_size, submission_queue_entry_size, 0, 4)                              \
  X_BIT(sqes_maximum_entry_size, submission_queue_entry_size, 4, 4)                               \
  X_BIT(cqes_required_entry_size, completion_queue_entry_size, 0, 4)                              \
  X_BIT(cqes_maximum_entry_size, completion_queue_entry_size, 4, 4)                               \
  X_BIT(oncs_compare_supported, optional_nvm_command_support, 0, 1)                               \
  X_BIT(oncs_write_uncorrectable_supported, optional_nvm_command_support, 1, 1)                   \
  X_BIT(oncs_dataset_management_supported, optional_nvm_command_support, 2, 1)                    \
  X_BIT(oncs_write_zeroes_supported, optional_nvm_command_support, 3, 1)                          \
  X_BIT(oncs_save_field_supported, optional_nvm_command_support, 4, 1)                            \
  X_BIT(oncs_reservations_supported, optional_nvm_command_support, 5, 1)                          \
  X_BIT(oncs_timestamp_supported, optional_nvm_command_support, 6, 1)                             \
  X_BIT(oncs_verify_supported, optional_nvm_command_support, 7, 1)                                \
  X_BIT(oncs_copy_supported, optional_nvm_command_support, 8, 1)                                  \
  X_BIT(fna_format_applies_to_all_namespaces, format_nvm_attributes, 0, 1)                        \
  X_BIT(fna_secure_erase_applies_to_all_namespaces, format_nvm_attributes, 1, 1)                  \
  X_BIT(fna_cryptographic_erase_supported, format_nvm_attributes, 2, 1)                           \
  X_BIT(fna_format_namespace_specific_not_supported, format_nvm_attributes, 3, 1)                 \
  X_BIT(vwc_present, volatile_write_cache, 0, 1)                                                  \
  X_BIT(vwc_flush_behavior, volatile_write_cache, 1, 2)                                           \
  X_BIT(nwpc_write_protect_supported, namespace_write_protection_capabilities, 0, 1)              \
  X_FLAG(nwpc_write_protect_until_power_cycle_supported,                                           \
         namespace_write_protection_capabilities, 1)                                               \
  X_FLAG(nwpc_permanent_write_protect_supported, namespace_write_protection_capabilities, 2)      \
  X_BIT(ocfs_copy_format_0_supported, optional_copy_format_support, 0, 1)                         \
  X_BIT(ocfs_copy_format_1_supported, optional_copy_format_support, 1, 1)                         \
  X_BIT(sgls_sgl_support, sgl_support, 0, 2)                                                      \
  X_BIT(sgls_keyed_sgl_data_block_descriptor, sgl_support, 2, 1)                                  \
  X_BIT(sgls_bit_bucket_descriptor, sgl_support, 16, 1)                                           \
  X_BIT(sgls_byte_aligned_contiguous_metadata, sgl_support, 17, 1)                                \
  X_BIT(sgls_length_larger_than_data, sgl_support, 18, 1)                                         \
  X_BIT(sgls_mptr_contains_sgl_descriptor, sgl_support, 19, 1)                                    \
  X_BIT(sgls_address_as_offset, sgl_support, 20, 1)                                               \
  X_BIT(sgls_transport_sgl_data_block_descriptor, sgl_support, 21, 1)

// Identify Namespace bit parsers.
#define VORNNVME_IDENTIFY_NAMESPACE_BITS(X_BIT, X_FLAG)                                             \
  X_BIT(nsfeat_thin_provisioning, namespace_features, 0, 1)                                       \
  X_BIT(nsfeat_namespace_atomic_parameters, namespace_features, 1, 1)                             \
  X_BIT(nsfeat_deallocated_error, namespace_features, 2, 1)                                       \
  X_BIT(nsfeat_guid_never_reused, namespace_features, 3, 1)                                       \
  X_BIT(mc_metadata_in_extended_lba, metadata_capabilities, 0, 1)                                 \
  X_BIT(mc_metadata_in_separate_buffer, metadata_capabilities, 1, 1)                              \
  X_BIT(dpc_protection_type_1_supported, end_to_end_data_protection_capabilities, 0, 1)           \
  X_BIT(dpc_protection_type_2_supported, end_to_end_data_protection_capabilities, 1, 1)           \
  X_BIT(dpc_protection_type_3_supported, end_to_end_data_protection_capabilities, 2, 1)           \
  X_BIT(dpc_protection_first_eight_bytes_supported, end_to_end_data_protection_capabilities, 3,   \
        1)                                                                                          \
  X_BIT(dpc_protection_last_eight_bytes_supported, end_to_end_data_protection_capabilities, 4, 1) \
  X_BIT(dps_protection_type, end_to_end_data_protection_type_settings, 0, 3)                      \
  X_BIT(dps_protection_first_eight_bytes, end_to_end_data_protection_type_settings, 3, 1)         \
  X_BIT(flbas_metadata_in_extended_lba, formatted_lba_size, 4, 1)                                 \
  X_BIT(fpi_percentage_remaining, format_progress_indicator, 0, 7)                                \
  X_BIT(fpi_supported, format_progress_indicator, 7, 1)                                           \
  X_BIT(dlfeat_read_behavior, deallocate_logical_block_features, 0, 3)                            \
  X_BIT(dlfeat_write_zeroes_deallocate, deallocate_logical_block_features, 3, 1)                  \
  X_BIT(dlfeat_guard_crc, deallocate_logical_block_features, 4, 1)                                \
  X_BIT(nmic_shared_namespace, namespace_multi_path_io_and_namespace_sharing_capabilities, 0, 1)  \
  X_BIT(rescap_persist_through_power_loss, reservation_capabilities, 0, 1)                        \
  X_BIT(rescap_write_exclusive, reservation_capabilities, 1, 1)                                   \
  X_BIT(rescap_exclusive_access, reservation_capabilities, 2, 1)                                  \
  X_BIT(rescap_write_exclusive_registrants_only, reservation_capabilities, 3, 1)                  \
  X_BIT(rescap_exclusive_access_registrants_only, reservation_capabilities, 4, 1)                 \
  X_BIT(rescap_write_exclusive_all_registrants, reservation_capabilities, 5, 1)                   \
  X_BIT(rescap_exclusive_access_all_registrants, reservation_capabilities, 6, 1)                  \
  X_BIT(rescap_ignore_existing_key, reservation_capabilities, 7, 1)
