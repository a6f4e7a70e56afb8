/*
 * zelquar.h: the client library of the Zelquar USB UHF RFID reader/writer.
 *
 * Typed calls over the driver library libZELQUAR_Drv.so: the readers on the
 * host, a whole field of tags, reads and writes of tags addressed by their
 * EPC alone, the reader's settings. Link with -lzelquar (pkg-config
 * zelquar-client, CMake target zelquar::client). The library loads the
 * driver installed beside itself (or the one $ZELQUAR_LIBRARY names) at the
 * first call that needs it and uses only its five exported functions.
 * docs/client.md describes the library, docs/commands.md the bytes behind
 * each call.
 *
 * Sections: version; results and outcomes; readers; tags and identities;
 * inventory; tag access; reader settings; raw commands; messages.
 *
 * Threads: every function may be called from any thread. Calls on one
 * zq_reader are serialised by the library (and across processes by the
 * driver); calls on different readers run side by side. A zq_reader must not
 * be used after zq_close, and zq_close must not run while another thread
 * is inside a call on the same reader.
 */
#ifndef ZELQUAR_H
#define ZELQUAR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZQ_API __attribute__((visibility("default")))
#else
#define ZQ_API
#endif

/* ---- version ------------------------------------------------------------ */

/* The version of this header: major * 10000 + minor * 100 + patch. A library
 * of the same major version serves a program built with it. */
#define ZQ_VERSION 10000
#define ZQ_VERSION_MAJOR 1

/* ZQ_VERSION of the library loaded at run time. Thread-safe. */
ZQ_API int zq_version(void);

/* ---- results and outcomes ------------------------------------------------ */

/* What a call did. ZQ_OK is 0; zq_result_message says each in a sentence. */
typedef enum zq_result {
  ZQ_OK = 0,              /* done */
  ZQ_REFUSED = 1,         /* the reader or the tag refused: outcome.status_word, outcome.tag_error */
  ZQ_TAG_NOT_FOUND = 2,   /* no tag with that EPC answered (inventory or access) */
  ZQ_BAD_ARGUMENT = 3,    /* an argument was wrong; nothing was sent */
  ZQ_NO_DRIVER = 4,       /* the driver library could not be loaded */
  ZQ_NO_READER = 5,       /* no reader with that serial number, or it could not be attached */
  ZQ_DRIVER_ERROR = 6,    /* a driver call failed: outcome.driver_result (an RFRW_Result) */
  ZQ_BAD_RESPONSE = 7,    /* the response did not have the form of its command */
  ZQ_VERIFY_FAILED = 8,   /* the write was accepted but reading back found other data */
  ZQ_NO_MEMORY = 9,       /* memory ran out */
  ZQ_PORT_IN_USE = 10,    /* the port is open already (in this process or another) */
  ZQ_NOT_THROUGH_AGENT = 11 /* zelquar-agent keeps the reader open and does not offer this call */
} zq_result;

/* The details of a call's result. Every call that talks to the reader takes
 * a zq_outcome* (may be NULL) and fills it whatever its result. */
typedef struct zq_outcome {
  zq_result result;        /* the call's return value */
  int32_t driver_result;   /* the last driver call's result (0, or a negative RFRW_Result) */
  uint16_t status_word;    /* the reader's status word (0x9000 done; 0 when none came) */
  int16_t reader_status;   /* the status byte before a refusal's status word; for 64 04 the
                              tag's Gen2 error code; -1 when there is none */
  int16_t words_written;   /* a write that stopped part-way: the words written; -1 otherwise */
} zq_outcome;

/* ---- readers ------------------------------------------------------------- */

typedef struct zq_reader_info {
  char serial[64];    /* the USB serial number ("" when the bridge has none) */
  char path[256];     /* the device path (a hidraw node, or a simulator's socket) */
  int simulated;      /* 1 for a simulated reader (zelquar-sim), 0 for a real one */
} zq_reader_info;

/* The readers present now: up to `capacity` of them into `readers` (may be
 * NULL with capacity 0), *count the number present (which may exceed
 * `capacity`). ZQ_OK, ZQ_NO_DRIVER (the driver's settings are read to know
 * the bridge's USB IDs). Thread-safe; blocks briefly. */
ZQ_API zq_result zq_list_readers(zq_reader_info* readers, size_t capacity, size_t* count);

typedef struct zq_reader zq_reader;

/* Opens the driver port `port` (bits 15..8 the COM number 1..32, bits 7..0
 * the unit): the COM number's bound reader, or the first bridge present for
 * an unbound COM number. *reader is the handle, NULL on failure.
 * Thread-safe; blocks for the open (seconds; a firmware download longer). */
ZQ_API zq_result zq_open_port(uint32_t port, zq_reader** reader, zq_outcome* outcome);

/* The open data block's flags, for zq_open_port_flags. */
#define ZQ_OPEN_SKIP_DOWNLOAD 1u /* no firmware check at this open */
#define ZQ_OPEN_BOOT_MODE 2u     /* leave the reader in its boot mode */
#define ZQ_OPEN_PASS_THROUGH 4u  /* every command goes to the reader unchanged, the driver's own
                                    answers included */

/* zq_open_port with the open data block's flags (ZQ_OPEN_*); other bits
 * give ZQ_BAD_ARGUMENT. The flags hold for this open only. */
ZQ_API zq_result zq_open_port_flags(uint32_t port, unsigned flags, zq_reader** reader, zq_outcome* outcome);

/* Opens unit 0 of the reader with this USB serial number: through the COM
 * number bound to it (the environment variable ZELQUAR_READER_SERIAL_<N> or
 * the INI key ReaderSerial<N> of the driver), else through the first COM
 * number this process has not opened and nothing binds, which the library
 * binds for this process by setting ZELQUAR_READER_SERIAL_<N> in its
 * environment (so a program that reads or changes its own environment in
 * another thread at the same time races with this call).
 * ZQ_NO_READER when no reader with that serial number is present.
 * Thread-safe; blocks for the open. */
ZQ_API zq_result zq_open_serial(const char* serial, zq_reader** reader, zq_outcome* outcome);

/* The same for another unit (0..31) of that reader. The driver keeps one
 * open port per unit index in a process: two readers open at once in one
 * process need reader modules set to different units (the second open of
 * one unit index gives ZQ_PORT_IN_USE). */
ZQ_API zq_result zq_open_serial_unit(const char* serial, unsigned unit, zq_reader** reader, zq_outcome* outcome);

/* Closes the port and frees the handle (NULL is ignored). */
ZQ_API void zq_close(zq_reader* reader);

/* The driver's file version (4 big-endian 16-bit numbers); no reader
 * needed. ZQ_OK or ZQ_NO_DRIVER. Thread-safe. */
ZQ_API zq_result zq_driver_version(uint8_t version[8]);

/* Chooses the driver library that this copy of the client library loads,
 * instead of $ZELQUAR_LIBRARY or the one beside it. Only before the driver
 * is loaded (the first call that needs it): afterwards ZQ_OK for the same
 * path, ZQ_BAD_ARGUMENT for another. A program that uses several driver
 * installations at once loads the copy of this library installed beside
 * each (their state is apart) and names each its driver. Thread-safe. */
ZQ_API zq_result zq_use_driver(const char* path);

/* The port number the handle opened. */
ZQ_API uint32_t zq_reader_port(const zq_reader* reader);

/* ---- tags and identities --------------------------------------------------- */

#define ZQ_EPC_MAX 62 /* bytes: 31 words */

/* The GS1 identity a tag's EPC bank carries (docs/epc.md). Without one,
 * is_gs1 is 0, tag_uri is the raw URI and reason says why. */
typedef struct zq_identity {
  int is_gs1;
  char scheme[16];           /* "sgtin-96"; "" without an identity */
  int filter;                /* the filter value; -1 without one */
  char tag_uri[256];         /* urn:epc:tag:sgtin-96:3.0614141.812345.6789, or the raw URI */
  char pure_uri[256];        /* urn:epc:id:sgtin:0614141.812345.6789 */
  char element_string[160];  /* (01)80614141123458(21)6789 */
  char digital_link[256];    /* https://id.gs1.org/01/80614141123458/21/6789 */
  char gtin[16];             /* the GTIN-14 of an SGTIN; "" otherwise */
  char serial[64];           /* the serial of an SGTIN, GRAI, GIAI...; "" without one */
  char reason[128];          /* why there is no identity; "" with one */
} zq_identity;

typedef struct zq_tag {
  uint16_t pc;               /* the PC word */
  uint8_t epc_length;        /* bytes of epc */
  uint8_t epc[ZQ_EPC_MAX];
  uint16_t crc;              /* the CRC the tag sent */
  int has_rssi;              /* the inventory asked for signal strengths */
  uint16_t rssi_raw;         /* the value as the reader gave it (raw mode), or signed 8.8 dBm */
  double rssi_dbm;           /* dBm (only when the inventory converted it: rssi_is_raw 0) */
  int rssi_is_raw;
  zq_identity identity;
} zq_tag;

/* The identity of a PC word and EPC. Thread-safe; no reader. */
ZQ_API void zq_decode_identity(uint16_t pc, const uint8_t* epc, size_t epc_length, zq_identity* identity);

/* ---- inventory ------------------------------------------------------------ */

typedef struct zq_inventory_options {
  int with_rssi;     /* each tag's signal strength (1, the default of zq_inventory_defaults) */
  int rssi_raw;      /* the raw value instead of dBm */
  int session;       /* the Gen2 session of the rounds, 0..3 (2 by default) */
  unsigned max_rounds; /* at most this many rounds (0: until one brings no new tag, at most 1000) */
} zq_inventory_options;

/* The defaults: signal strength in dBm, session 2, rounds until done. */
ZQ_API zq_inventory_options zq_inventory_defaults(void);

typedef struct zq_tag_list {
  size_t count;
  zq_tag* tags;
  unsigned rounds;         /* inventory rounds run */
  int several_rounds;      /* 1 when the field held more tags than one response lists */
} zq_tag_list;

/* Every tag in the field: rounds of the reader's inventory until a round
 * brings no tag not yet listed (docs/client.md: the rounds alternate the
 * inventoried flag's target A and B, so a second inventory soon after the
 * first finds every tag again). *list is freed with zq_tag_list_free; NULL
 * on failure. options NULL: zq_inventory_defaults(). Blocks for the rounds. */
ZQ_API zq_result zq_inventory(zq_reader* reader, const zq_inventory_options* options, zq_tag_list** list,
                              zq_outcome* outcome);
ZQ_API void zq_tag_list_free(zq_tag_list* list);

/* ---- tag access --------------------------------------------------------- */

/* Tags are addressed by their EPC (epc, epc_length bytes of whole words).
 * pc is the PC word, or -1 to take it from the field: from the reader's
 * last inventory when it listed the tag, else from a new one
 * (ZQ_TAG_NOT_FOUND when the tag is not there). password: the 4-byte
 * access password, or NULL for none. */

typedef enum zq_bank { ZQ_BANK_RESERVED = 0, ZQ_BANK_EPC = 1, ZQ_BANK_TID = 2, ZQ_BANK_USER = 3 } zq_bank;

/* Reads `words` words (1..255) of `bank` from word `pointer` into data
 * (capacity at least 2 * words bytes); *data_length the bytes read. */
ZQ_API zq_result zq_read(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc, zq_bank bank,
                         uint32_t pointer, unsigned words, const uint8_t* password, uint8_t* data, size_t capacity,
                         size_t* data_length, zq_outcome* outcome);

/* Writes `length` bytes (whole words, 2..256 bytes) at word `pointer`;
 * with verify, reads them back (ZQ_VERIFY_FAILED when they differ). A write
 * that reaches the EPC bank's PC word or EPC changes how the tag answers: it
 * is not read back here (zq_write_epc checks a new EPC by inventory). */
ZQ_API zq_result zq_write(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc, zq_bank bank,
                          uint32_t pointer, const uint8_t* data, size_t length, int verify, const uint8_t* password,
                          zq_outcome* outcome);

/* Writes a new EPC (whole words, at most 31) with its PC word: the length
 * field for the new EPC, the tag's other PC bits kept; then checks by
 * inventory that the tag answers with it. *new_pc (may be NULL) the PC word
 * written. */
ZQ_API zq_result zq_write_epc(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc,
                              const uint8_t* new_epc, size_t new_length, const uint8_t* password, uint16_t* new_pc,
                              zq_outcome* outcome);

/* The same for a GS1 identity: a tag URI (urn:epc:tag:sgtin-96:1.0614141.812345.6789)
 * encoded as the Tag Data Standard says; ZQ_BAD_ARGUMENT when it does not
 * encode (zq_encode_uri tells why). */
ZQ_API zq_result zq_write_epc_uri(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc,
                                  const char* uri, const uint8_t* password, zq_tag* written, zq_outcome* outcome);

/* A tag URI, pure-identity URI or element string into the EPC and PC word
 * (no reader): ZQ_OK, or ZQ_BAD_ARGUMENT with the reason in `error`
 * (capacity error_capacity, may be NULL). Thread-safe. */
ZQ_API zq_result zq_encode_uri(const char* uri, uint8_t epc[ZQ_EPC_MAX], size_t* epc_length, uint16_t* pc,
                               char* error, size_t error_capacity);

/* The 3-byte lock payload of "field=action[,field=action...]" (fields kill,
 * access, epc, tid, user; actions unlock, permaunlock, lock, permalock).
 * ZQ_BAD_ARGUMENT with the reason in `error`. Thread-safe. */
ZQ_API zq_result zq_lock_payload(const char* forms, uint8_t payload[3], char* error, size_t error_capacity);

/* Lock with a 3-byte payload and the access password (4 bytes, required). */
ZQ_API zq_result zq_lock(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc,
                         const uint8_t password[4], const uint8_t payload[3], zq_outcome* outcome);

/* Kills the tag with its kill password (4 bytes, not all zero). */
ZQ_API zq_result zq_kill(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc,
                         const uint8_t password[4], zq_outcome* outcome);

/* ---- reader settings ------------------------------------------------------ */

/* RF power on (1) or off (0). */
ZQ_API zq_result zq_power(zq_reader* reader, int on, zq_outcome* outcome);
/* The RF power level, 0..63 (the reader uses min(level, 30) - 10 dBm). */
ZQ_API zq_result zq_power_level(zq_reader* reader, unsigned level, zq_outcome* outcome);

typedef struct zq_reader_details {
  uint8_t driver_version[8];   /* the driver's file version: 4 big-endian 16-bit numbers */
  uint8_t reader_type[8];
  size_t reader_type_length;
  uint8_t firmware[8];
  size_t firmware_length;
  size_t entry_count;          /* the information block's numbered values */
  uint8_t entry_number[32];
  uint16_t entry_value[32];
} zq_reader_details;

/* The driver version, reader type, firmware version and information block. */
ZQ_API zq_result zq_reader_details_get(zq_reader* reader, zq_reader_details* details, zq_outcome* outcome);

/* The reader's information block as it sends it (without the status word):
 * up to `capacity` bytes into block, *length its length (ZQ_BAD_ARGUMENT
 * with *length set and nothing copied when it is longer). */
ZQ_API zq_result zq_information_block(zq_reader* reader, uint8_t* block, size_t capacity, size_t* length,
                                      zq_outcome* outcome);

/* The bridge's GPIO lines 15..0 (*lines), and one line (0..9) set. */
ZQ_API zq_result zq_gpio_read(zq_reader* reader, uint16_t* lines, zq_outcome* outcome);
ZQ_API zq_result zq_gpio_write(zq_reader* reader, unsigned line, int on, zq_outcome* outcome);

/* The bridge's serial string (UTF-8, at most 30 printable ASCII characters
 * to set; text of capacity at least 64 to get). */
ZQ_API zq_result zq_serial_get(zq_reader* reader, char* text, size_t capacity, zq_outcome* outcome);
ZQ_API zq_result zq_serial_set(zq_reader* reader, const char* text, zq_outcome* outcome);

/* ---- raw commands --------------------------------------------------------- */

/* Any application command's bytes; the whole response (data and status
 * word) into response. ZQ_OK when the driver call succeeded, whatever the
 * status word (outcome.status_word has it). A response longer than
 * `capacity` gives ZQ_BAD_ARGUMENT after the command ran, with
 * *response_length its length and nothing copied. */
ZQ_API zq_result zq_raw(zq_reader* reader, const uint8_t* command, size_t length, uint8_t* response, size_t capacity,
                        size_t* response_length, zq_outcome* outcome);

/* ---- messages ------------------------------------------------------------- */

/* A sentence for a zq_result that says what to do. Static storage. */
ZQ_API const char* zq_result_message(zq_result result);
/* A sentence for the outcome as a whole: the result, and the driver result,
 * status word and tag error behind it, into text (capacity bytes, always
 * terminated). Returns text. */
ZQ_API const char* zq_outcome_message(const zq_outcome* outcome, char* text, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* ZELQUAR_H */
