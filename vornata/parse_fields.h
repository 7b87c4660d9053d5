// Field table of the IDENTIFY DEVICE parsers: one row per parser
// vornata_identify_parse_<name>, with the word it reads, the bit or bit field, and the
// description that its short-buffer message names.
//
//   X_BIT(name, word, bit, desc)            u8, bit `bit` of word `word`
//   X_BITS(name, word, shift, count, desc)  u8, (word >> shift) masked to `count` bits
//   X_WORD(name, word, desc)                u16, the whole word
//   X_DWORD(name, word, desc)               u32, words `word` and `word` + 1
//   X_QWORD(name, word, desc)               u64, words `word` to `word` + 3
// No #pragma once: the includer defines the X macros.
#define VORNATA_IDENTIFY_FIELDS(X_BIT, X_BITS, X_WORD, X_DWORD, X_QWORD) \
  X_BIT(ata_device_bit, 0, 15, "ata device bit") \
  X_BIT(incomplete_response, 0, 2, "incomplete response") \
  X_WORD(chs_number_of_cylinders, 1, "chs number of cylinders") \
  X_WORD(set_feat_id_specific_configuration, 2, "set feat id specific configuration") \
  X_WORD(chs_number_of_heads, 3, "chs number of heads") \
  X_WORD(chs_number_of_sectors, 6, "chs number of sectors") \
  X_WORD(number_of_ecc_bytes, 22, "number of ecc bytes") \
  X_BIT(read_write_multi_supported, 47, 15, "read write multi supported") \
  X_BITS(max_sectors_per_drq_data_block, 47, 0, 8, "max sectors per drq data block") \
  X_BIT(tcg_supported, 48, 0, "tcg supported") \
  X_BIT(standby_timers_supported_as_in_standard, 49, 13, "standby timers supported as in standard") \
  X_BIT(iordy_supported, 49, 11, "iordy supported") \
  X_BIT(iordy_may_be_disabled, 49, 10, "iordy may be disabled") \
  X_BIT(lba_supported, 49, 9, "lba supported") \
  X_BIT(dma_supported, 49, 8, "dma supported") \
  X_BIT(minimum_standby_timer_capability, 50, 0, "minimum standby timer capability") \
  X_BITS(pio_data_transfer_cycle_timing_mode, 51, 8, 2, "pio data transfer cycle timing mode") \
  X_BIT(block_erase_ext_supported, 59, 15, "block erase ext supported") \
  X_BIT(overwrite_ext_supported, 59, 14, "overwrite ext supported") \
  X_BIT(crypto_scramble_ext_supported, 59, 13, "crypto scramble ext supported") \
  X_BIT(sanitize_supported, 59, 12, "sanitize supported") \
  X_BIT(sanitize_commands_allowed_spec, 59, 11, "sanitize commands allowed spec") \
  X_BIT(sanitize_antifreeze_lock_ext, 59, 10, "sanitize antifreeze lock ext") \
  X_BIT(sanitize_status, 59, 8, "sanitize status") \
  X_BIT(multiword_dma_mode_2_sel, 63, 10, "multiword dma mode 2 sel") \
  X_BIT(multiword_dma_mode_1_sel, 63, 9, "multiword dma mode 1 sel") \
  X_BIT(multiword_dma_mode_0_sel, 63, 8, "multiword dma mode 0 sel") \
  X_BIT(multiword_dma_mode_2_supp, 63, 2, "multiword dma mode 2 supp") \
  X_BIT(multiword_dma_mode_1_supp, 63, 1, "multiword dma mode 1 supp") \
  X_BIT(multiword_dma_mode_0_supp, 63, 0, "multiword dma mode 0 supp") \
  X_BITS(pio_mode_3_and_4_supported, 64, 0, 2, "pio mode 3 and 4 supported") \
  X_WORD(miminum_multiword_dma_transfer_cycle_time_per_word, 65, "miminum multiword dma transfer cycle time per word") \
  X_WORD(manufacturer_recommended_multiword_dma_transfer_cycle_time, 66, "manufacturer recommended multiword dma transfer cycle time") \
  X_WORD(minimum_pio_transfer_cycle_time_without_flow_control, 67, "minimum pio transfer cycle time without flow control") \
  X_WORD(minimum_pio_transfer_cycle_time_with_iordy_flow_control, 68, "minimum pio transfer cycle time with iordy flow control") \
  X_BIT(cfast_specification_support, 69, 15, "cfast specification support") \
  X_BIT(deterministic_data_in_trimmed_lba_ranges_support, 69, 14, "deterministic data in trimmed lba ranges support") \
  X_BIT(long_physical_sector_alignment_error_reporting_control_support, 69, 13, "long physical sector alignment error reporting control support") \
  X_BIT(dco_dma_support, 69, 12, "dco dma support") \
  X_BIT(read_buffer_dma_support, 69, 11, "read buffer dma support") \
  X_BIT(write_buffer_dma_support, 69, 10, "write buffer dma support") \
  X_BIT(set_max_set_password_and_unlock_dma_support, 69, 9, "set max set password and unlock dma support") \
  X_BIT(download_microcode_dma_support, 69, 8, "download microcode dma support") \
  X_BIT(edrive_support, 69, 7, "edrive support") \
  X_BIT(optional_ata_28bit_command_support, 69, 6, "optional ata 28bit command support") \
  X_BIT(zero_trimmed_data_support, 69, 5, "zero trimmed data support") \
  X_BIT(device_encrypts_all_user_data, 69, 4, "device encrypts all user data") \
  X_BIT(extended_user_addressable_sectors_support, 69, 3, "extended user addressable sectors support") \
  X_BIT(write_cache_is_non_volatile, 69, 2, "write cache is non-volatile") \
  X_BITS(zoned_capabilities, 69, 0, 2, "zoned capabilities") \
  X_BITS(maximum_queue_depth, 75, 0, 5, "maximum queue depth") \
  X_BIT(read_log_dma_ext_support, 76, 15, "read log dma ext support") \
  X_BIT(device_automatic_partial_to_slumber_support, 76, 14, "device automatic partial to slumber support") \
  X_BIT(host_automatic_partial_to_slumber_support, 76, 13, "host automatic partial to slumber support") \
  X_BIT(ncq_priority_support, 76, 12, "ncq priority support") \
  X_BIT(unload_while_ncq_outstanding_support, 76, 11, "unload while ncq outstanding support") \
  X_BIT(sata_phy_event_counters_log_support, 76, 10, "sata phy event counters log support") \
  X_BIT(host_initiated_power_management_requests_support, 76, 9, "host initiated power management requests support") \
  X_BIT(ncq_feature_set_support, 76, 8, "ncq feature set support") \
  X_BIT(sata_gen3_support, 76, 3, "sata gen3 support") \
  X_BIT(sata_gen2_support, 76, 2, "sata gen2 support") \
  X_BIT(sata_gen1_support, 76, 1, "sata gen1 support") \
  X_BIT(power_disable_feature_always_enabled, 77, 8, "power disable feature always enabled") \
  X_BIT(devsleep_support, 77, 7, "devsleep support") \
  X_BIT(fpdma_support, 77, 6, "fpdma support") \
  X_BIT(ncq_non_data_support, 77, 5, "ncq non data support") \
  X_BIT(ncq_streaming_support, 77, 4, "ncq streaming support") \
  X_BITS(negotiated_sata_speed, 77, 1, 3, "negotiated sata speed") \
  X_BIT(power_disable_feature_supported, 78, 12, "power disable feature supported") \
  X_BIT(rebuild_assist_feature_supported, 78, 11, "rebuild assist feature supported") \
  X_BIT(hybrid_information_feature_supported, 78, 9, "hybrid information feature supported") \
  X_BIT(device_sleep_support, 78, 8, "device sleep support") \
  X_BIT(ncq_autosense_support, 78, 7, "ncq autosense support") \
  X_BIT(software_settings_preservation_support, 78, 6, "software settings preservation support") \
  X_BIT(hardware_feature_control_support, 78, 5, "hardware feature control support") \
  X_BIT(in_order_data_delivery_support, 78, 4, "in order data delivery support") \
  X_BIT(device_initiated_power_management_support, 78, 3, "device initiated power management support") \
  X_BIT(dma_setup_auto_activation_support, 78, 2, "dma setup auto activation support") \
  X_BIT(non_zero_buffer_offset_support, 78, 1, "non-zero buffer offset support") \
  X_BIT(rebuild_assist_feature_enabled, 79, 11, "rebuild assist feature enabled") \
  X_BIT(power_disable_feature_enabled, 79, 10, "power disable feature enabled") \
  X_BIT(hybrid_information_feature_enabled, 79, 9, "hybrid information feature enabled") \
  X_BIT(devsleep_enabled, 79, 8, "devsleep enabled") \
  X_BIT(automatic_partial_to_slumber_enabled, 79, 7, "automatic partial to slumber enabled") \
  X_BIT(software_settings_preservation_enabled, 79, 6, "software settings preservation enabled") \
  X_BIT(hardware_feature_control_enabled, 79, 5, "hardware feature control enabled") \
  X_BIT(in_order_data_delivery_enabled, 79, 4, "in order data delivery enabled") \
  X_BIT(device_initiated_power_management_enabled, 79, 3, "device initiated power management enabled") \
  X_BIT(dma_setup_auto_activation_enabled, 79, 2, "dma setup auto-activation enabled") \
  X_BIT(nonzero_buffer_offsets_enabled, 79, 1, "nonzero buffer offsets enabled") \
  X_WORD(major_version_number, 80, "major version number") \
  X_BIT(acs4_support, 80, 11, "acs4 support") \
  X_BIT(acs3_support, 80, 10, "acs3 support") \
  X_BIT(acs2_support, 80, 9, "acs2 support") \
  X_BIT(ata8_acs_support, 80, 8, "ata8-acs support") \
  X_BIT(atapi7_support, 80, 7, "atapi7 support") \
  X_BIT(atapi6_support, 80, 6, "atapi6 support") \
  X_BIT(atapi5_support, 80, 5, "atapi5 support") \
  X_WORD(minor_version_number, 81, "minor version number") \
  X_BIT(nop_support, 82, 14, "nop support") \
  X_BIT(read_buffer_support, 82, 13, "read buffer support") \
  X_BIT(write_buffer_support, 82, 12, "write buffer support") \
  X_BIT(hpa_support, 82, 10, "hpa support") \
  X_BIT(device_reset_support, 82, 9, "device reset support") \
  X_BIT(service_interrupt_support, 82, 8, "service interrupt support") \
  X_BIT(release_interrupt_support, 82, 7, "release interrupt support") \
  X_BIT(read_look_ahead_support, 82, 6, "read look ahead support") \
  X_BIT(volatile_write_cache_support, 82, 5, "volatile write cache support") \
  X_BIT(packet_support, 82, 4, "packet support") \
  X_BIT(power_management_feature_support, 82, 3, "power management feature support") \
  X_BIT(removable_media_support, 82, 2, "removable media support") \
  X_BIT(security_feature_set_support, 82, 1, "security feature set support") \
  X_BIT(smart_feature_set_support, 82, 0, "smart feature set support") \
  X_BIT(flush_cache_ext_support, 83, 13, "flush cache ext support") \
  X_BIT(flush_cache_support, 83, 12, "flush cache support") \
  X_BIT(dco_support, 83, 11, "dco support") \
  X_BIT(48bit_address_feature_set_support, 83, 10, "48bit address feature set support") \
  X_BIT(automatic_acoustic_management_aam_support, 83, 9, "automatic acoustic management (aam) support") \
  X_BIT(set_max_security_extension_support, 83, 8, "set max security extension support") \
  X_BIT(set_features_required_to_spin_up_after_power_up, 83, 6, "set features required to spin up after power up") \
  X_BIT(puis_feature_set_support, 83, 5, "puis feature set support") \
  X_BIT(apm_feature_set_support, 83, 3, "apm feature set support") \
  X_BIT(cfast_feature_set_support, 83, 2, "cfast feature set support") \
  X_BIT(read_and_write_dma_queued_support, 83, 1, "read and write dma queued support") \
  X_BIT(download_microcode_support, 83, 0, "download microcode support") \
  X_BIT(idle_immediate_unload_support, 84, 13, "idle immediate unload support") \
  X_BIT(wwn_support, 84, 8, "wwn support") \
  X_BIT(write_dma_fua_ext_support, 84, 6, "write dma fua ext support") \
  X_BIT(gpl_feature_set_support, 84, 5, "gpl feature set support") \
  X_BIT(streaming_feature_set_support, 84, 4, "streaming feature set support") \
  X_BIT(media_card_pass_through_command_set_support, 84, 3, "media card pass-through command set support") \
  X_BIT(media_serial_number_support, 84, 2, "media serial number support") \
  X_BIT(smart_self_test_support, 84, 1, "smart self test support") \
  X_BIT(smart_error_logging_support, 84, 0, "smart error logging support") \
  X_BIT(nop_enabled, 85, 14, "nop enabled") \
  X_BIT(read_buffer_enabled, 85, 13, "read buffer enabled") \
  X_BIT(write_buffer_enabled, 85, 12, "write buffer enabled") \
  X_BIT(hpa_feature_set_enabled, 85, 10, "hpa feature set enabled") \
  X_BIT(device_reset_enabled, 85, 9, "device reset enabled") \
  X_BIT(service_interrupt_enabled, 85, 8, "service interrupt enabled") \
  X_BIT(release_interrupt_enabled, 85, 7, "release interrupt enabled") \
  X_BIT(read_look_ahead_enabled, 85, 6, "read look ahead enabled") \
  X_BIT(volatile_write_cache_enabled, 85, 5, "volatile write cache enabled") \
  X_BIT(packet_enabled, 85, 4, "packet enabled") \
  X_BIT(power_management_enabled, 85, 3, "power management enabled") \
  X_BIT(security_feature_set_enabled, 85, 1, "security feature set enabled") \
  X_BIT(smart_feature_set_enabled, 85, 0, "smart feature set enabled") \
  X_BIT(words_119_and_120_valid, 86, 15, "words 119 and 120 valid") \
  X_BIT(flush_cache_ext_enabled, 86, 13, "flush cache ext enabled") \
  X_BIT(flush_cache_enabled, 86, 12, "flush cache enabled") \
  X_BIT(dco_feature_set_enabled, 86, 11, "dco feature set enabled") \
  X_BIT(48bit_address_feature_set_enabled, 86, 10, "48bit address feature set enabled") \
  X_BIT(aam_feature_set_enabled, 86, 9, "aam feature set enabled") \
  X_BIT(set_max_security_enabled_by_set_max_set_password, 86, 8, "set max security enabled by set max set password") \
  X_BIT(set_features_required_to_spin_up_enabled, 86, 6, "set features required to spin up enabled") \
  X_BIT(puis_feature_set_enabled, 86, 5, "puis feature set enabled") \
  X_BIT(apm_feature_set_enabled, 86, 3, "apm feature set enabled") \
  X_BIT(cfast_feature_set_enabled, 86, 2, "cfast feature set enabled") \
  X_BIT(download_microcode_enabled, 86, 0, "download microcode enabled") \
  X_BIT(udma_mode_6_selected, 88, 14, "udma mode 6 selected") \
  X_BIT(udma_mode_5_selected, 88, 13, "udma mode 5 selected") \
  X_BIT(udma_mode_4_selected, 88, 12, "udma mode 4 selected") \
  X_BIT(udma_mode_3_selected, 88, 11, "udma mode 3 selected") \
  X_BIT(udma_mode_2_selected, 88, 10, "udma mode 2 selected") \
  X_BIT(udma_mode_1_selected, 88, 9, "udma mode 1 selected") \
  X_BIT(udma_mode_0_selected, 88, 8, "udma mode 0 selected") \
  X_BIT(udma_mode_6_supported, 88, 6, "udma mode 6 supported") \
  X_BIT(udma_mode_5_supported, 88, 5, "udma mode 5 supported") \
  X_BIT(udma_mode_4_supported, 88, 4, "udma mode 4 supported") \
  X_BIT(udma_mode_3_supported, 88, 3, "udma mode 3 supported") \
  X_BIT(udma_mode_2_supported, 88, 2, "udma mode 2 supported") \
  X_BIT(udma_mode_1_supported, 88, 1, "udma mode 1 supported") \
  X_BIT(udma_mode_0_supported, 88, 0, "udma mode 0 supported") \
  X_BITS(current_apm_level, 91, 0, 8, "current apm level") \
  X_WORD(master_password_identifier, 92, "master password identifier") \
  X_WORD(hardware_reset_results, 93, "hardware reset results") \
  X_WORD(stream_min_request_sz, 95, "stream min request sz") \
  X_WORD(dma_stream_transfer_time, 96, "dma stream transfer time") \
  X_WORD(streaming_access_latency, 97, "streaming access latency") \
  X_DWORD(streaming_performance_granularity, 98, "streaming performance granularity") \
  X_QWORD(number_of_user_addressable_logical_sectors, 100, "number of user addressable logical sectors") \
  X_WORD(pio_streaming_transfer_time, 104, "pio streaming transfer time") \
  X_WORD(max_blocks_per_data_set_management_command, 105, "max blocks per data set management command") \
  X_BIT(device_has_multiple_logical_sectors_per_physical_sector, 106, 13, "device has multiple logical sectors per physical sector") \
  X_BIT(device_has_logical_sectors_longer_than_256_words, 106, 12, "device has logical sectors longer than 256 words") \
  X_BITS(logical_sectors_per_physical_sector_exp, 106, 0, 4, "logical sectors per physical sector exp") \
  X_WORD(inter_seek_delay_for_iso_iec7779_standard_acousting_testing, 107, "inter-seek delay for iso/iec7779 standard acousting testing") \
  X_BITS(wwn_naa, 108, 12, 4, "wwn naa") \
  X_DWORD(logical_sector_size, 117, "logical sector size") \
  X_BIT(dsn_feature_set_support, 119, 9, "dsn feature set support") \
  X_BIT(accessible_max_address_configuration_feature_set_support, 119, 8, "accessible max address configuration feature set support") \
  X_BIT(epc_feature_set_support, 119, 7, "epc feature set support") \
  X_BIT(sense_data_reporting_feature_set_support, 119, 6, "sense data reporting feature set support") \
  X_BIT(free_fall_control_feature_set_support, 119, 5, "free fall control feature set support") \
  X_BIT(download_microcode_mode_3_support, 119, 4, "download microcode mode 3 support") \
  X_BIT(read_log_dma_ext_and_write_log_dma_ext_support, 119, 3, "read log dma ext and write log dma ext support") \
  X_BIT(write_uncorrectable_ext_support, 119, 2, "write uncorrectable ext support") \
  X_BIT(write_read_verify_feature_set_support, 119, 1, "write read verify feature set support") \
  X_BIT(dsn_feature_set_enabled, 120, 9, "dsn feature set enabled") \
  X_BIT(epc_feature_set_enabled, 120, 7, "epc feature set enabled") \
  X_BIT(sense_data_reporting_feature_set_enabled, 120, 6, "sense data reporting feature set enabled") \
  X_BIT(free_fall_control_feature_set_enabled, 120, 5, "free fall control feature set enabled") \
  X_BIT(download_microcode_mode_3_enabled, 120, 4, "download microcode mode 3 enabled") \
  X_BIT(log_dma_ext_enabled, 120, 3, "log dma ext enabled") \
  X_BIT(write_uncorrectable_ext_enabled, 120, 2, "write uncorrectable ext enabled") \
  X_BIT(write_read_verify_feature_set_enabled, 120, 1, "write read verify feature set enabled") \
  X_BIT(master_password_capability, 128, 8, "master password capability") \
  X_BIT(enhanced_security_erase_supported, 128, 5, "enhanced security erase supported") \
  X_BIT(security_count_expired, 128, 4, "security count expired") \
  X_BIT(security_frozen, 128, 3, "security frozen") \
  X_BIT(security_locked, 128, 2, "security locked") \
  X_BIT(security_enabled, 128, 1, "security enabled") \
  X_BIT(security_supported, 128, 0, "security supported") \
  X_BIT(cfast_power_requirement_description_valid, 160, 15, "cfast power requirement description valid") \
  X_BITS(device_nominal_form_factor, 168, 0, 3, "device nominal form factor") \
  X_BIT(trim_in_data_set_management_support, 169, 0, "trim in data set management support") \
  X_QWORD(additional_product_identifier, 170, "additional product identifier") \
  X_BIT(sct_data_tables_support, 206, 5, "sct data tables support") \
  X_BIT(sct_feature_control_support, 206, 4, "sct feature control support") \
  X_BIT(sct_error_recovery_control_support, 206, 3, "sct error recovery control support") \
  X_BIT(sct_write_same_support, 206, 2, "sct write same support") \
  X_BIT(sct_support, 206, 0, "sct support") \
  X_DWORD(write_read_verify_sector_mode_3_count, 210, "write read verify sector mode 3 count") \
  X_DWORD(write_read_verify_sector_mode_2_count, 212, "write read verify sector mode 2 count") \
  X_BITS(write_read_verify_current_mode, 220, 0, 8, "write read verify current mode") \
  X_WORD(transport_major_version, 222, "transport major version") \
  X_BITS(sata_transport_type, 222, 12, 4, "sata transport type") \
  X_BIT(sata_32_transport, 222, 7, "parse sata 32 transport") \
  X_BIT(sata_31_transport, 222, 6, "parse sata 31 transport") \
  X_BIT(sata_30_transport, 222, 5, "parse sata 30 transport") \
  X_BIT(sata_26_transport, 222, 4, "parse sata 26 transport") \
  X_BIT(sata_25_transport, 222, 3, "parse sata 25 transport") \
  X_BIT(sata_2_extensions_transport, 222, 2, "parse sata 2 extensions transport") \
  X_BIT(sata_10a_transport, 222, 1, "parse sata 10a transport") \
  X_BIT(ata8_ast_transport, 222, 0, "parse ata8-ast transport") \
  X_WORD(transport_minor_version, 223, "transport minor version") \
  X_QWORD(extended_number_of_user_addressable_sectors, 230, "extended number of user addressable sectors") \
  X_BITS(checksum, 255, 8, 8, "checksum") \
  X_BITS(checksum_validity_indicator, 255, 0, 8, "checksum validity indicator")
