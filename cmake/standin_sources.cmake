# The stand-in's sources, one list per library, for the main build and the
# fuzz build. NIMB_ROOT is the top of the tree.

# The I/O bus and virtual time, which every device model sits on.
set(NIMB_BUS_SOURCES
  ${NIMB_ROOT}/sim/bus/io_bus.cpp)

# The platform as the stand-in implements it, the only part of the
# stand-in the driver is linked against: the port I/O primitives onto the
# bus, and the port driver's operations onto the port-driver host.
set(NIMB_PLATFORM_SOURCES
  ${NIMB_ROOT}/sim/bus/platform_port_io.cpp
  ${NIMB_ROOT}/sim/host/scsi_port_host.cpp
  ${NIMB_ROOT}/sim/host/platform_scsiport.cpp
  ${NIMB_ROOT}/sim/host/platform_physical_address.cpp
  ${NIMB_ROOT}/sim/host/driver_call_i386.cpp)

# The device models, each on its side of the wire.
set(NIMB_WIRE_SOURCES
  ${NIMB_ROOT}/sim/wire/parallel_port.cpp
  ${NIMB_ROOT}/sim/wire/nimb_adapter.cpp)
set(NIMB_ATA_SOURCES
  ${NIMB_ROOT}/sim/ata/ata_drive.cpp
  ${NIMB_ROOT}/sim/ata/drive_presets.cpp
  ${NIMB_ROOT}/sim/ata/disk_image.cpp)
set(NIMB_CHIPS_SOURCES
  ${NIMB_ROOT}/sim/chips/chip_model.cpp
  ${NIMB_ROOT}/sim/chips/smc_config.cpp
  ${NIMB_ROOT}/sim/chips/smc_fdc37c665.cpp
  ${NIMB_ROOT}/sim/chips/smc_fdc37c666.cpp
  ${NIMB_ROOT}/sim/chips/smc_fdc37c93x.cpp
  ${NIMB_ROOT}/sim/chips/ns_pc873xx.cpp
  ${NIMB_ROOT}/sim/chips/winbond_w83877f.cpp
  ${NIMB_ROOT}/sim/chips/pci_config.cpp
  ${NIMB_ROOT}/sim/chips/cmos_window_chipset.cpp
  ${NIMB_ROOT}/sim/chips/rtc.cpp
  ${NIMB_ROOT}/sim/chips/chipset_100.cpp
  ${NIMB_ROOT}/sim/chips/ps2_system_board.cpp
  ${NIMB_ROOT}/sim/chips/laptop_chipset.cpp
  ${NIMB_ROOT}/sim/chips/indexed_chipset22.cpp
  ${NIMB_ROOT}/sim/chips/pic.cpp)

# Whole machines, and the class driver's side of the host.
set(NIMB_MACHINE_SOURCES
  ${NIMB_ROOT}/sim/host/disk_client.cpp
  ${NIMB_ROOT}/sim/machine/host_kinds.cpp
  ${NIMB_ROOT}/sim/machine/simulated_pc.cpp)

# The fault soak and the bench's measuring parts.
set(NIMB_SOAK_SOURCES
  ${NIMB_ROOT}/soak/fault_soak.cpp
  ${NIMB_ROOT}/soak/soak_segment.cpp
  ${NIMB_ROOT}/soak/shadow_disk.cpp)
set(NIMB_BENCH_SOURCES
  ${NIMB_ROOT}/tools/bench/bench_figures.cpp
  ${NIMB_ROOT}/tools/bench/bench_rig.cpp)

# Serving the disk to network initiators: the class driver's part in front
# of the machine.
set(NIMB_SERVE_SOURCES
  ${NIMB_ROOT}/tools/serve/scsi_front_end.cpp)

# Where the stand-in names the driver: the driver image a machine loads.
set(NIMB_SEAM_SOURCES
  ${NIMB_ROOT}/seam/nimb_driver.cpp
  ${NIMB_ROOT}/seam/nimb_image_driver.cpp)

# The driver image's loader (32-bit x86 builds only).
set(NIMB_IMAGEHOST_LOADER_SOURCES
  ${NIMB_ROOT}/imagehost/image_loader_i386.cpp
  ${NIMB_ROOT}/imagehost/import_thunks_i386.cpp
  ${NIMB_ROOT}/imagehost/port_trap_i386.cpp)

# The reader of the driver image file (PE32), plain byte arithmetic that
# needs nothing else of the stand-in.
set(NIMB_IMAGEHOST_PE_SOURCES
  ${NIMB_ROOT}/imagehost/pe_image.cpp)

# The iSCSI protocol of the served disk: the PDU codec, the text keys and
# the connection's state machine, which reaches the disk only through the
# backend it is given.
set(NIMB_SERVE_PROTOCOL_SOURCES
  ${NIMB_ROOT}/tools/serve/iscsi_pdu.cpp
  ${NIMB_ROOT}/tools/serve/iscsi_text.cpp
  ${NIMB_ROOT}/tools/serve/iscsi_connection.cpp)
