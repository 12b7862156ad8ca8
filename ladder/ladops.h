// Opcodes of the ladder program stream (a word below 1024; a word of 1024 or
// more is a one-word contact). Groups of 64: 0 to 3 the interpreter's own
// instructions and the first library calls, 4 to 8 the extended encoding.
// Suffixes: 16, 32 and REAL the value width; K an immediate operand (a timer
// or counter with an immediate preset is the odd opcode of its pair); X the
// extended operand form.
#pragma once

#include <cstdint>

enum LadOpcode : uint16_t {
    // ---- program frame and flow
    LOP_END = 9,
    LOP_JUMP32 = 68,  // pop power; jump by a 32-bit offset when true
    LOP_CALL32 = 69,  // pop power; call by a 32-bit offset when true
    LOP_SKIP = 70,    // skip forward while the top power is false
    LOP_JUMP16 = 71,
    LOP_CALL16 = 73,
    LOP_RETURN = 74,

    // ---- contacts, coils, power stack, screens
    LOP_CONTACT = 31,  // the long form of the one-word contact
    LOP_NOT = 32,
    LOP_SET_TOP = 33,
    LOP_CLEAR_TOP = 34,
    LOP_OR = 35,
    LOP_AND = 36,
    LOP_COIL = 38,
    LOP_FORCE_SCREEN = 39,
    LOP_SCREEN_CONTACT = 40,
    LOP_ALARM_LIST = 41,
    LOP_CHANGE_SCREEN = 48,
    LOP_COIL_POS = 50,  // positive transition
    LOP_COIL_NEG = 51,  // negative transition
    LOP_COIL_SET = 52,
    LOP_COIL_RESET = 53,
    LOP_COIL_NOT = 54,
    LOP_POP = 55,
    LOP_REPUSH = 56,
    LOP_AND_NOT = 60,
    LOP_OR_NOT = 61,
    LOP_NAND = 62,
    LOP_NOR = 63,
    LOP_BRANCH_OR = 64,
    LOP_BRANCH_AND = 65,

    // ---- value stack: loads, constants, stores
    LOP_LOAD32_AS16 = 75,
    LOP_LOAD_REAL_AS32 = 76,
    LOP_LOAD_REAL_AS16 = 77,
    LOP_LOAD32_AS_REAL = 78,
    LOP_LOAD16_AS_REAL = 79,
    LOP_LOAD16 = 80,
    LOP_CONST16 = 81,
    LOP_STORE16 = 82,
    LOP_LOAD32 = 83,
    LOP_CONST32 = 84,
    LOP_STORE32 = 85,
    LOP_CONST16_AS32 = 86,
    LOP_LOAD16_AS32 = 87,

    // ---- moves (destination first)
    LOP_MOVE16 = 90,
    LOP_BLOCK_MOVE = 91,
    LOP_MOVE_K16 = 92,
    LOP_FILL = 93,
    LOP_FILL_K = 94,
    LOP_MOVE32 = 95,
    LOP_MOVE_K32 = 96,
    LOP_IND_READ = 97,   // %R through a pointer into registers
    LOP_IND_WRITE = 98,  // registers into %R through a pointer
    LOP_IND_COPY = 99,   // %R to %R, both through pointers

    // ---- bit-wise, shifts, angles, integer arithmetic
    LOP_AND16 = 100,
    LOP_OR16 = 101,
    LOP_XOR16 = 102,
    LOP_NOT16 = 103,
    LOP_AND32 = 104,
    LOP_OR32 = 105,
    LOP_XOR32 = 106,
    LOP_NOT32 = 107,
    LOP_DEG_TO_RAD = 108,
    LOP_RAD_TO_DEG = 109,
    LOP_SHL16 = 110,
    LOP_SHR16 = 111,
    LOP_ROL16 = 112,
    LOP_ROR16 = 113,
    LOP_SHL32 = 114,
    LOP_SHR32 = 115,
    LOP_ROL32 = 116,
    LOP_ROR32 = 117,
    LOP_MULTI_SHIFT = 118,
    LOP_MULTI_ROTATE = 119,
    LOP_ADD16 = 120,
    LOP_SUB16 = 121,
    LOP_MUL16 = 122,
    LOP_DIV16 = 123,
    LOP_ADD32 = 124,
    LOP_SUB32 = 125,
    LOP_MUL32 = 126,
    LOP_DIV32 = 127,

    // ---- float arithmetic and functions, 16- and 32-bit functions
    LOP_ADD_REAL = 128,
    LOP_SUB_REAL = 129,
    LOP_MUL_REAL = 130,
    LOP_DIV_REAL = 131,
    LOP_ABS16 = 140,
    LOP_REM16 = 141,
    LOP_SQRT16 = 142,
    LOP_ABS32 = 143,
    LOP_REM32 = 144,
    LOP_SQRT32 = 145,
    LOP_ABS_REAL = 146,
    LOP_REM_REAL = 147,
    LOP_SQRT_REAL = 148,
    LOP_POW_REAL = 149,
    LOP_LOG_REAL = 150,
    LOP_EXP_REAL = 151,
    LOP_LN_REAL = 152,
    LOP_SIN_REAL = 153,
    LOP_COS_REAL = 154,
    LOP_TAN_REAL = 155,
    LOP_ASIN_REAL = 156,
    LOP_ACOS_REAL = 157,
    LOP_ATAN_REAL = 158,

    // ---- the programming port for the user program
    LOP_TALK_OPEN = 132,
    LOP_TALK_SEND = 133,
    LOP_TALK_RECEIVE = 134,
    LOP_TALK_CLOSE = 135,
    LOP_TALK_MODEM = 136,
    LOP_TALK_MODBUS = 137,

    // ---- compares: the relations in the order =, <>, <, >, <=, >=
    LOP_EQ16 = 160,
    LOP_NE16 = 161,
    LOP_LT16 = 162,
    LOP_GT16 = 163,
    LOP_LE16 = 164,
    LOP_GE16 = 165,
    LOP_EQ32 = 166,
    LOP_NE32 = 167,
    LOP_LT32 = 168,
    LOP_GT32 = 169,
    LOP_LE32 = 170,
    LOP_GE32 = 171,
    LOP_EQ_REAL = 172,
    LOP_NE_REAL = 173,
    LOP_LT_REAL = 174,
    LOP_GT_REAL = 175,
    LOP_LE_REAL = 176,
    LOP_GE_REAL = 177,

    // ---- byte strings in registers
    LOP_STR_CMP = 178,
    LOP_STR_CMP_K = 179,
    LOP_STR_COPY = 182,
    LOP_STR_COPY_K = 183,
    LOP_TEXT_TO_NUM = 184,
    LOP_NUM_TO_TEXT = 187,
    LOP_TEXT_LEN = 188,

    // ---- range tests, bytes, library calls
    LOP_RANGE16 = 192,
    LOP_RANGE32 = 193,
    LOP_RANGE_REAL = 194,
    LOP_LOAD_BYTE = 195,
    LOP_STORE_BYTE = 196,
    LOP_COUNTER32 = 199,  // its kind in the next word
    LOP_CTU = 200,        // up counter
    LOP_CTU_K = 201,
    LOP_CTD = 202,  // down counter
    LOP_CTD_K = 203,
    // 16-bit timers: on-delay, off-delay, retentive on-delay, by time base
    LOP_TON_10MS = 204,
    LOP_TON_10MS_K = 205,
    LOP_TOF_10MS = 206,
    LOP_TOF_10MS_K = 207,
    LOP_TON_100MS = 208,
    LOP_TON_100MS_K = 209,
    LOP_TOF_100MS = 210,
    LOP_TOF_100MS_K = 211,
    LOP_TRET_10MS = 212,
    LOP_TRET_10MS_K = 213,
    LOP_TRET_100MS = 214,
    LOP_TRET_100MS_K = 215,
    LOP_CLOCK_SET = 230,
    // PID: gain on all three terms (G), auto-tune operands (AT)
    LOP_PID = 240,
    LOP_PID_G = 241,
    LOP_PID_AT = 242,
    LOP_PID_G_AT = 243,
    LOP_SUNPOS = 244,
    // file instructions
    LOP_FILE_DESC = 248,
    LOP_FILE_COPY = 249,
    LOP_FILE_READ_CSV = 250,
    LOP_FILE_WRITE_CSV = 251,
    LOP_FILE_RENAME = 252,
    LOP_FILE_DELETE = 253,
    LOP_FILE_FORMAT = 254,

    // ---- typed arithmetic (U unsigned, S signed, by width)
    LOP_MUL_U8 = 260,
    LOP_DIV_U8 = 261,
    LOP_MUL_U16 = 262,
    LOP_DIV_U16 = 263,
    LOP_MUL_U32 = 264,
    LOP_DIV_U32 = 265,
    LOP_ADD_S8 = 266,
    LOP_SUB_S8 = 267,
    LOP_MUL_S8 = 268,
    LOP_DIV_S8 = 269,
    LOP_SHL_U8 = 270,
    LOP_SHR_U8 = 271,
    LOP_ROL_U8 = 272,
    LOP_ROR_U8 = 273,
    LOP_GT_U8 = 280,
    LOP_GE_U8 = 281,
    LOP_GT_U16 = 282,
    LOP_GE_U16 = 283,
    LOP_GT_U32 = 284,
    LOP_GE_U32 = 285,
    LOP_EQ_S8 = 286,
    LOP_GT_S8 = 287,
    LOP_GE_S8 = 288,
    // unsigned, the width word after the opcode: 32 for 16 bits, 160 for 32
    LOP_ADD_UW = 289,
    LOP_SUB_UW = 290,
    LOP_SQRT_UW = 291,
    LOP_REM_UW = 292,

    // ---- conversions: source type, pushed width and the accepted range
    // (none: all); _2 a second opcode of the same conversion
    LOP_CNV_BYTE_16 = 300,
    LOP_CNV_BYTE_32 = 301,
    LOP_CNV_BYTE_REAL = 302,
    LOP_CNV_BYTE_16_2 = 303,
    LOP_CNV_BYTE_32_2 = 304,
    LOP_CNV_WORD_16_0_127 = 305,
    LOP_CNV_WORD_32 = 306,
    LOP_CNV_WORD_REAL = 307,
    LOP_CNV_WORD_16_0_255 = 308,
    LOP_CNV_WORD_32_2 = 309,
    LOP_CNV_DWORD_16_0_127 = 310,
    LOP_CNV_DINT_16 = 311,
    LOP_CNV_DWORD_REAL = 312,
    LOP_CNV_DWORD_16_0_255 = 313,
    LOP_CNV_DWORD_16 = 314,
    LOP_CNV_INT_16_0_255 = 315,
    LOP_CNV_INT_32_0_32767 = 316,
    LOP_CNV_DWORD_16_0_255_2 = 317,
    LOP_CNV_DWORD_16_2 = 318,
    LOP_CNV_REAL_16_0_255 = 319,
    LOP_CNV_REAL_16_0_65535 = 320,
    LOP_CNV_REAL_32 = 321,
    LOP_CNV_SINT_16 = 324,
    LOP_CNV_SINT_32 = 325,
    LOP_CNV_SINT_REAL = 326,
    LOP_CNV_SINT_16_0_127 = 327,
    LOP_CNV_SINT_32_0_127 = 328,
    LOP_CNV_INT_16_S8 = 329,   // -128..127
    LOP_CNV_DINT_16_S8 = 330,  // -128..127
    LOP_CNV_REAL_16_S8 = 331,  // -128..127

    // ---- indexed elements, byte pointers, steps, masks
    LOP_IDX_BIT_GET = 340,
    LOP_IDX_BIT_SET = 341,
    LOP_IDX_BYTE_GET = 342,
    LOP_IDX_BYTE_SET = 343,
    LOP_IDX_WORD_GET = 344,
    LOP_IDX_WORD_SET = 345,
    LOP_IDX_D32_GET = 346,
    LOP_IDX_D32_SET = 347,
    LOP_PTR_MAKE_K = 350,  // byte index of a register plus a constant
    LOP_PTR_LOAD8 = 351,
    LOP_PTR_LOAD16 = 352,
    LOP_PTR_LOAD32 = 353,
    LOP_PTR_LOAD_BIT = 354,
    LOP_PTR_STORE8 = 355,
    LOP_PTR_STORE16 = 356,
    LOP_PTR_STORE32 = 357,
    LOP_PTR_STORE_BIT = 358,
    LOP_PTR_MAKE_REG = 359,  // byte index of a register plus a register's value
    LOP_STEP_TEST = 360,
    LOP_STEP = 361,
    LOP_MASK_TEST16 = 362,
    LOP_MASK_TEST32 = 363,
    LOP_MASK_SET16 = 364,
    LOP_MASK_SET32 = 365,
    LOP_BIT_NUMBER = 384,

    // ---- library calls of the extended encoding
    LOP_CANOPEN = 367,
    LOP_SCHED_TIME_OF_DAY = 370,
    LOP_SCHED_DOW_K = 372,
    LOP_SCHED_DOW = 373,
    LOP_SCHED_DOM_K = 374,
    LOP_SCHED_DOM = 375,
    LOP_SCHED_MOY_K = 376,
    LOP_SCHED_MOY = 377,
    LOP_SCHED_YEAR_K = 378,
    LOP_SCHED_YEAR = 379,
    LOP_FLOW = 381,
    LOP_TALK_SELECT = 394,  // send or receive, by a selector word
    LOP_U64_TEXT = 400,
    LOP_PID_X = 523,
    LOP_PID_X_G = 524,
    LOP_PID_X_AT = 525,
    LOP_PID_X_G_AT = 526,
    LOP_ALARM_HANDLER = 528,
    LOP_MULTI_SHIFT_X = 529,
    LOP_MULTI_ROTATE_X = 530,
    LOP_TALK_MODBUS_X = 531,
    LOP_SET_NET_ID = 544,

    // ---- extended timers (retentive, on-delay, off-delay by time base) and
    // pointer block moves
    LOP_TRET32_1S = 450,
    LOP_TON32_1S = 452,
    LOP_TOF32_1S = 454,
    LOP_TRET_1S = 458,
    LOP_TON_1S = 460,
    LOP_TOF_1S = 462,
    LOP_TRET32_1MS = 466,
    LOP_TON32_1MS = 468,
    LOP_TOF32_1MS = 470,
    LOP_TRET_1MS = 474,
    LOP_TON_1MS = 476,
    LOP_TOF_1MS = 478,
    LOP_TRET32_10MS = 482,
    LOP_TON32_10MS = 484,
    LOP_TOF32_10MS = 486,
    LOP_TRET32_100MS = 498,
    LOP_TON32_100MS = 500,
    LOP_TOF32_100MS = 502,
    LOP_PTR_BLOCK_MOVE = 505,
    LOP_PTR_FILL = 506,
    LOP_PTR_FILL_K = 507,
    LOP_PTR_MOVE32 = 508,
    LOP_PTR_MOVE_K32 = 509,
    LOP_CS_COPY = 511,  // counted strings

    // ---- counted strings and text
    LOP_CS_APPEND = 512,
    LOP_CS_EQ = 513,
    LOP_CS_GT = 514,  // D > S
    LOP_CS_GE = 515,  // D >= S
    LOP_CS_TO_NUM = 516,
    LOP_NUM_TO_PLAIN = 517,
    LOP_NUM_TO_CS = 518,
    LOP_PLAIN_TO_NUM = 519,
    LOP_CLOCK_SET_PTR = 520,
};

// A group of six timer opcodes from the first of a time base: three kinds,
// each with its immediate-preset twin.
constexpr unsigned LAD_TIMER_GROUP = 6;

// Words skipped without effect.
constexpr uint16_t LAD_IGNORED_OPS[] = {66, 67, 72, 88, 89, 138, 139, 159, 180, 181, 185, 186, 189, 190, 191};
