; KESTRIX DEMO - the project's own demo cartridge (NROM, mapper 0).
;
; It does what games do, so that one cartridge exercises the emulator the way
; real ones do:
;   - a title screen ("KESTRIX DEMO", "PRESS START") that Start skips and that
;     ends by itself after TITLE_FRAMES (2 s), so a run without input also
;     reaches the game;
;   - text from the cartridge's own 8x8 font (chr.s);
;   - a background scrolled 1 pixel per frame through PPUSCROLL, across both
;     nametables, which vertical mirroring places side by side;
;   - a status bar held still by a sprite-0-hit split: the frame starts at
;     scroll 0, and when sprite 0 hits the border under the bar the program
;     sets the playfield's scroll;
;   - 8x16 sprites throughout (PPUCTRL bit 5 is global): a 16x16 player, its
;     shot and 20 floating balloons, copied to OAM by DMA every frame;
;   - a player moved by the d-pad: A jumps, B fires (with a sound effect);
;   - a looping tune on both pulses, the triangle and the noise channel.
;
; Build: demo/build.sh (ca65/ld65).
;
; RAM that tests and tools may read (asserted below, so it cannot drift):
;   $00 game_state  0 = title, 1 = game
;   $01 song_row    row of the song playing now, 0 to SONG_ROWS - 1
;   $02 sfx_timer   frames left of the shot sound (0 = none)
; OAM (copied from $0200 each frame):
;   entry 0     sprite 0, the split marker (invisible)
;   entry 1     the player's left half: its X byte is the player's position
;   entry 2     the player's right half
;   entry 3     the shot (Y = $FF while there is none)
;   entries 4-23  the balloons
;   entries 24-63 unused (Y = $FF)

.linecont +

; --------------------------------------------------------------- hardware

PPUCTRL   = $2000
PPUMASK   = $2001
PPUSTATUS = $2002
OAMADDR   = $2003
PPUSCROLL = $2005
PPUADDR   = $2006
PPUDATA   = $2007
OAMDMA    = $4014
APUSTATUS = $4015
JOY1      = $4016
APUFRAME  = $4017

; PPUCTRL: NMI on, 8x16 sprites, background from $0000, nametable $2000.
; Bit 0 (the nametable to the right) is added for the playfield's scroll.
CTRL_BASE = %10100000
; PPUMASK: background and sprites on, including the leftmost 8 pixels.
MASK_ON   = %00011110

; Buttons as read_pad leaves them: the first button read ends up in bit 7.
BTN_A     = $80
BTN_B     = $40
BTN_START = $10
BTN_LEFT  = $02
BTN_RIGHT = $01

; ------------------------------------------------------------ tile numbers

TILE_SKY       = $00
TILE_BORDER    = $01
TILE_CLOUD     = $02        ; $02-$05: top left, top right, bottom left, bottom right
TILE_HILL_UP   = $06
TILE_HILL_DOWN = $07
TILE_HILL      = $08
TILE_GRASS     = $09
TILE_BRICK     = $0A
; Text characters are tiles with their ASCII code ($20-$5A).

; Sprite tile numbers in 8x16 mode: bit 0 set = pattern table $1000.
SPR_SPLIT     = $01
SPR_PLAYER_L  = $03
SPR_PLAYER_R  = $05
SPR_SHOT      = $07
SPR_BALLOON_A = $09
SPR_BALLOON_B = $0B

; ------------------------------------------------------------ game tuning

TITLE_FRAMES  = 120         ; the title ends by itself after 2 seconds
SPLIT_Y       = 24          ; sprite 0 covers line 25 on: the border's second row
SPLIT_X       = 240
GROUND_Y      = 175         ; player's OAM Y when standing: feet on line 191
PLAYER_START  = 64
PLAYER_MIN_X  = 0
PLAYER_MAX_X  = 240
GRAVITY       = $0040       ; 8.8 fixed point, pixels per frame per frame
JUMP_SPEED    = $FC00       ; -4 pixels per frame: a jump 32 pixels high
SHOT_SPEED    = 4
NUM_BALLOONS  = 20
BALLOON_TOP   = 40          ; balloons stay between the status bar and the grass (lines 41-188)
BALLOON_BOTTOM = 172

; ---------------------------------------------------------------- iNES header

.segment "HEADER"
        .byte "NES", $1A
        .byte 1                     ; 16 KiB PRG ROM
        .byte 1                     ; 8 KiB CHR ROM
        .byte %00000001             ; mapper 0, vertical mirroring (side-by-side nametables)
        .byte %00000000
        .res 8, 0

; ------------------------------------------------------------------- RAM

.segment "ZEROPAGE"
game_state:   .res 1
song_row:     .res 1
sfx_timer:    .res 1
nmi_count:    .res 1
pad:          .res 1            ; buttons held
pad_new:      .res 1            ; buttons pressed since the previous frame
title_timer:  .res 1
scroll_x:     .res 2            ; playfield scroll, 0-511 (bit 0 of the high byte = nametable)
mask_shadow:  .res 1            ; PPUMASK value the NMI handler writes
frame_count:  .res 1
player_x:     .res 1
player_y:     .res 2            ; 8.8 fixed point; the high byte is the OAM Y
player_vy:    .res 2            ; 8.8 fixed point, signed
facing:       .res 1            ; 0 right, 1 left
on_ground:    .res 1
shot_x:       .res 1
shot_y:       .res 1
shot_dir:     .res 1            ; 0 none, 1 right, $FF left
shots:        .res 2            ; shots fired, two decimal digits: tens, units
status_dirty: .res 1            ; the NMI handler redraws the shot counter
row_timer:    .res 1            ; frames left in the current song row
next_row:     .res 1
song_ptr:     .res 2            ; next row to play
pulse2_note:  .res 2            ; period of the row's pulse 2 note, for after a sound effect
ptr:          .res 2            ; general pointer
nt_row:       .res 1
temp:         .res 1

.assert game_state = $00, error, "RAM map in the header comment is out of date"
.assert song_row = $01, error, "RAM map in the header comment is out of date"
.assert sfx_timer = $02, error, "RAM map in the header comment is out of date"

.segment "OAM"
oam:          .res 256

.segment "BSS"
balloon_x:    .res NUM_BALLOONS
balloon_y:    .res NUM_BALLOONS
balloon_dx:   .res NUM_BALLOONS
balloon_dy:   .res NUM_BALLOONS

; ====================================================================== code

.segment "CODE"

reset:
        sei
        cld
        ldx #$40
        stx APUFRAME                ; no frame interrupt
        ldx #$FF
        txs
        inx
        stx PPUCTRL                 ; no NMI while we set up
        stx PPUMASK                 ; rendering off
        stx $4010                   ; no DMC interrupt
        stx APUSTATUS               ; all channels off
        bit PPUSTATUS               ; forget a vertical blank flag left from before reset
@vblank1:
        bit PPUSTATUS               ; the PPU needs a frame to warm up
        bpl @vblank1

        txa                         ; clear the RAM
@clear: sta $0000,x
        sta $0100,x
        sta $0300,x
        sta $0400,x
        sta $0500,x
        sta $0600,x
        sta $0700,x
        inx
        bne @clear
        jsr hide_sprites

@vblank2:
        bit PPUSTATUS
        bpl @vblank2

        jsr load_palette
        jsr draw_title
        jsr music_init
        lda #TITLE_FRAMES
        sta title_timer
        lda #MASK_ON                ; the next NMI turns the picture on
        sta mask_shadow
        bit PPUSTATUS               ; so that enabling NMI cannot fire one now
        lda #CTRL_BASE
        sta PPUCTRL

; One pass per frame, right after the NMI handler has done the vertical
; blank work. In the game, the wait for sprite 0 comes first, because the
; playfield's scroll must be set before the playfield's first line.
main:
        jsr wait_nmi
        lda game_state
        bne @game
        jsr title_frame
        jmp @sound
@game:
        jsr split_scroll
        jsr read_pad
        jsr move_player
        jsr move_shot
        jsr move_balloons
        jsr build_oam
        inc frame_count
        inc scroll_x                ; 1 pixel per frame, around both nametables
        bne @sound
        inc scroll_x + 1
@sound:
        jsr music_frame
        jsr sfx_frame
        jmp main

wait_nmi:
        lda nmi_count
@wait:  cmp nmi_count
        beq @wait
        rts

; Vertical blank: sprites, the shot counter, then scroll 0 for the status bar.
nmi:
        pha
        txa
        pha
        tya
        pha
        lda #0
        sta OAMADDR
        lda #>oam
        sta OAMDMA                  ; all 64 sprites, every frame
        bit PPUSTATUS               ; reset the address latch
        lda status_dirty
        beq @no_status
        jsr draw_shots
        lda #0
        sta status_dirty
@no_status:
        ; Pointing the VRAM address at $2000 also sets the horizontal part
        ; of the rendering address, which the first line starts from; the
        ; scroll writes then give the rest (vertical scroll 0, fine X 0).
        lda #$20
        sta PPUADDR
        lda #$00
        sta PPUADDR
        lda #CTRL_BASE
        sta PPUCTRL
        lda #0
        sta PPUSCROLL
        sta PPUSCROLL
        lda mask_shadow
        sta PPUMASK
        inc nmi_count
        pla
        tay
        pla
        tax
        pla
irq:
        rti

; Waits for sprite 0 to hit the border under the status bar, then scrolls
; the rest of the picture. The hit flag is still set from the previous frame
; until the pre-render line, so first wait for it to clear.
split_scroll:
@old:   bit PPUSTATUS
        bvs @old
@hit:   bit PPUSTATUS
        bvc @hit
        lda scroll_x
        sta PPUSCROLL               ; coarse and fine X; takes effect on the next line
        lda #0
        sta PPUSCROLL               ; vertical part: unused until the next frame
        lda scroll_x + 1
        and #1
        ora #CTRL_BASE
        sta PPUCTRL                 ; which nametable the scroll starts in
        rts

; Reads controller 1 into pad, and the newly pressed buttons into pad_new.
read_pad:
        lda pad
        sta temp
        lda #1
        sta JOY1
        lda #0
        sta JOY1
        ldx #8
@bit:   lda JOY1
        lsr a
        rol pad
        dex
        bne @bit
        lda temp
        eor #$FF
        and pad
        sta pad_new
        rts

; ------------------------------------------------------------------ title

title_frame:
        jsr read_pad
        lda pad_new
        and #BTN_START
        bne start_game
        dec title_timer
        beq start_game
        rts

; Switches to the game: the nametables are rewritten with the picture off,
; as a game does between screens, and the next NMI turns it on again.
start_game:
        lda #0
        sta PPUCTRL                 ; no NMI in the middle of the VRAM writes
        sta PPUMASK
        sta mask_shadow
        jsr draw_playfield
        jsr init_game
        lda #1
        sta game_state
        lda #MASK_ON
        sta mask_shadow
        bit PPUSTATUS
        lda #CTRL_BASE
        sta PPUCTRL
        rts

init_game:
        lda #PLAYER_START
        sta player_x
        lda #GROUND_Y
        sta player_y + 1
        lda #0
        sta player_y
        sta player_vy
        sta player_vy + 1
        sta facing
        sta shot_dir
        sta scroll_x
        sta scroll_x + 1
        sta shots
        sta shots + 1
        lda #1
        sta on_ground
        ldx #NUM_BALLOONS - 1
@balloon:
        lda balloon_start_x,x
        sta balloon_x,x
        lda balloon_start_y,x
        sta balloon_y,x
        lda balloon_start_dx,x
        sta balloon_dx,x
        lda balloon_start_dy,x
        sta balloon_dy,x
        dex
        bpl @balloon
        jmp build_oam

; ---------------------------------------------------------------- game

; Left/Right walk one pixel per frame; A jumps from the ground.
move_player:
        lda pad
        and #BTN_RIGHT
        beq @not_right
        lda #0
        sta facing
        lda player_x
        cmp #PLAYER_MAX_X
        bcs @not_right
        inc player_x
@not_right:
        lda pad
        and #BTN_LEFT
        beq @not_left
        lda #1
        sta facing
        lda player_x
        cmp #PLAYER_MIN_X + 1
        bcc @not_left
        dec player_x
@not_left:
        lda pad_new
        and #BTN_A
        beq @fall
        lda on_ground
        beq @fall
        lda #<JUMP_SPEED
        sta player_vy
        lda #>JUMP_SPEED
        sta player_vy + 1
        lda #0
        sta on_ground
@fall:
        lda on_ground
        bne @done
        clc                         ; speed += gravity
        lda player_vy
        adc #<GRAVITY
        sta player_vy
        lda player_vy + 1
        adc #>GRAVITY
        sta player_vy + 1
        clc                         ; position += speed
        lda player_y
        adc player_vy
        sta player_y
        lda player_y + 1
        adc player_vy + 1
        sta player_y + 1
        lda player_vy + 1
        bmi @done                   ; still going up
        lda player_y + 1
        cmp #GROUND_Y
        bcc @done
        lda #GROUND_Y               ; landed
        sta player_y + 1
        lda #0
        sta player_y
        sta player_vy
        sta player_vy + 1
        lda #1
        sta on_ground
@done:  rts

; B fires one shot at a time in the facing direction, with a sound, and
; counts it in the status bar.
move_shot:
        lda pad_new
        and #BTN_B
        beq @move
        lda shot_dir
        bne @move
        lda player_y + 1
        sta shot_y
        lda facing
        bne @left
        lda #1
        sta shot_dir
        lda player_x
        clc
        adc #12
        sta shot_x
        jmp @fired
@left:  lda #$FF
        sta shot_dir
        lda player_x
        sec
        sbc #4
        sta shot_x
@fired: jsr start_shot_sound
        inc shots + 1               ; two decimal digits, 99 wraps to 00
        lda shots + 1
        cmp #10
        bcc @count
        lda #0
        sta shots + 1
        inc shots
        lda shots
        cmp #10
        bcc @count
        lda #0
        sta shots
@count: lda #1
        sta status_dirty
@move:  lda shot_dir
        beq @done
        bmi @go_left
        lda shot_x
        clc
        adc #SHOT_SPEED
        bcs @gone
        cmp #248
        bcs @gone
        sta shot_x
        rts
@go_left:
        lda shot_x
        sec
        sbc #SHOT_SPEED
        bcc @gone
        sta shot_x
        rts
@gone:  lda #0
        sta shot_dir
@done:  rts

; Balloons drift sideways around the screen and bounce between
; BALLOON_TOP and BALLOON_BOTTOM.
move_balloons:
        ldx #NUM_BALLOONS - 1
@next:  lda balloon_x,x
        clc
        adc balloon_dx,x
        sta balloon_x,x
        lda balloon_y,x
        clc
        adc balloon_dy,x
        sta balloon_y,x
        cmp #BALLOON_TOP
        bcc @bounce
        cmp #BALLOON_BOTTOM
        bcc @ok
@bounce:
        lda #0                      ; reverse, and step back inside
        sec
        sbc balloon_dy,x
        sta balloon_dy,x
        clc
        adc balloon_y,x
        sta balloon_y,x
@ok:    dex
        bpl @next
        rts

; Fills the OAM copy at $0200 (layout in the header comment).
build_oam:
        lda #SPLIT_Y
        sta oam + 0
        lda #SPR_SPLIT
        sta oam + 1
        lda #%00100001              ; behind the background, palette 1
        sta oam + 2
        lda #SPLIT_X
        sta oam + 3

        lda player_y + 1
        sta oam + 4
        sta oam + 8
        lda player_x
        sta oam + 7
        clc
        adc #8
        sta oam + 11
        lda facing
        bne @face_left
        lda #SPR_PLAYER_L
        sta oam + 5
        lda #SPR_PLAYER_R
        sta oam + 9
        lda #%00000000              ; palette 0
        sta oam + 6
        sta oam + 10
        jmp @shot
@face_left:                         ; mirrored: each half flipped, and the halves swapped
        lda #SPR_PLAYER_R
        sta oam + 5
        lda #SPR_PLAYER_L
        sta oam + 9
        lda #%01000000              ; flipped horizontally, palette 0
        sta oam + 6
        sta oam + 10
@shot:
        lda shot_dir
        beq @no_shot
        lda shot_y
        sta oam + 12
        lda #SPR_SHOT
        sta oam + 13
        lda #%00000001
        sta oam + 14
        lda shot_x
        sta oam + 15
        jmp @balloons
@no_shot:
        lda #$FF
        sta oam + 12
@balloons:
        lda frame_count             ; the string sways every 8 frames
        and #8
        beq @frame_a
        lda #SPR_BALLOON_B
        bne @frame
@frame_a:
        lda #SPR_BALLOON_A
@frame: sta temp
        ldx #NUM_BALLOONS - 1
        ldy #(4 + NUM_BALLOONS - 1) * 4
@next:  lda balloon_y,x
        sta oam,y
        lda temp
        sta oam + 1,y
        txa
        and #1
        ora #2                      ; palettes 2 and 3 alternate
        sta oam + 2,y
        lda balloon_x,x
        sta oam + 3,y
        tya
        sec
        sbc #4
        tay
        dex
        bpl @next
        rts

hide_sprites:
        lda #$FF
        ldx #0
@next:  sta oam,x
        inx
        bne @next
        rts

; ------------------------------------------------------------ video memory

load_palette:
        bit PPUSTATUS
        lda #$3F
        sta PPUADDR
        lda #$00
        sta PPUADDR
        ldx #0
@next:  lda palette,x
        sta PPUDATA
        inx
        cpx #32
        bne @next
        rts

; Fills nametable $2000 with spaces (black) and writes the title text.
draw_title:
        bit PPUSTATUS
        lda #$20
        sta PPUADDR
        lda #$00
        sta PPUADDR
        lda #' '
        ldy #4                      ; 4 x 240 = 960 tiles
@page:  ldx #240
@tile:  sta PPUDATA
        dex
        bne @tile
        dey
        bne @page
        lda #0                      ; attributes: palette 0 everywhere
        ldx #64
@attr:  sta PPUDATA
        dex
        bne @attr
        lda #<title_text
        ldx #>title_text
        jmp draw_text

; Writes both nametables of the playfield: each row repeats a 16-tile
; pattern chosen by row_kind, then the attributes, then clouds and the
; status bar text on top.
draw_playfield:
        lda #$20
        jsr draw_nametable
        lda #$24
        jsr draw_nametable
        lda #<status_text
        ldx #>status_text
        jsr draw_text
        lda #<cloud_text
        ldx #>cloud_text
        jmp draw_text

draw_nametable:
        bit PPUSTATUS
        sta PPUADDR
        lda #$00
        sta PPUADDR
        sta nt_row
@row:   ldx nt_row
        lda row_kind,x
        tax
        lda row_patterns_lo,x
        sta ptr
        lda row_patterns_hi,x
        sta ptr + 1
        ldx #32
        ldy #0
@tile:  lda (ptr),y
        sta PPUDATA
        iny
        tya
        and #15
        tay
        dex
        bne @tile
        inc nt_row
        lda nt_row
        cmp #30
        bne @row
        ldx #0
@attr:  lda playfield_attributes,x
        sta PPUDATA
        inx
        cpx #64
        bne @attr
        rts

; Writes a list of text records (see TEXT) from the address in A (low) and
; X (high) until the end marker. A list is at most 256 bytes.
draw_text:
        sta ptr
        stx ptr + 1
        ldy #0
@record:
        bit PPUSTATUS
        lda (ptr),y
        beq @done
        sta PPUADDR
        iny
        lda (ptr),y
        sta PPUADDR
        iny
        lda (ptr),y
        tax
        iny
@char:  lda (ptr),y
        sta PPUDATA
        iny
        dex
        bne @char
        jmp @record
@done:  rts

; The two digits of the shot counter, in vertical blank.
draw_shots:
        lda #>SHOTS_DIGITS
        sta PPUADDR
        lda #<SHOTS_DIGITS
        sta PPUADDR
        lda shots
        ora #'0'
        sta PPUDATA
        lda shots + 1
        ora #'0'
        sta PPUDATA
        rts

; ================================================================== sound
;
; The tune: SONG_ROWS rows of ROW_FRAMES frames (16 frames, 0.27 s) each,
; looping. Every row starts a note on pulse 1 (melody), pulse 2 (harmony)
; and the triangle (bass), and may hit a drum on the noise channel.
;
; Notes are timer periods. A pulse channel at period p sounds at
; 1789773 / (16 (p + 1)) Hz; the triangle steps through 32 levels instead of
; 16 and sounds at 1789773 / (32 (p + 1)) Hz, an octave lower for the same
; period, so its notes have their own constants, named by the pitch heard.
;
;       note    period   sounds at
P_G4  = 284     ;        392.5 Hz on a pulse
P_A4  = 253     ;        440.4 Hz
P_B4  = 225     ;        495.0 Hz
P_C5  = 213     ;        522.7 Hz
P_D5  = 189     ;        588.7 Hz
P_E5  = 169     ;        658.0 Hz
P_F5  = 159     ;        699.1 Hz
P_G5  = 142     ;        782.2 Hz
P_A5  = 126     ;        880.8 Hz
P_B5  = 112     ;        989.9 Hz
T_C3  = 427     ;        130.7 Hz on the triangle
T_D3  = 380     ;        146.8 Hz
T_E3  = 338     ;        165.0 Hz
T_F3  = 319     ;        174.8 Hz
T_G3  = 284     ;        196.2 Hz
T_A3  = 253     ;        220.2 Hz
T_C4  = 213     ;        261.4 Hz

; Drums, by index into the drum tables (0 = none).
NONE  = 0
KICK  = 1
SNARE = 2
HAT   = 3

; The shot sound takes pulse 2 from the music for SHOT_FRAMES frames and
; falls through three pitches (about 5, 4 and 3 frames each).
SHOT_1 = 64                 ; 1720.9 Hz
SHOT_2 = 80                 ; 1381.0 Hz
SHOT_3 = 96                 ; 1153.2 Hz
SHOT_FRAMES = 12

ROW_FRAMES = 16
LENGTH_LONG = %00001000     ; length index 1: 254 half frames, longer than any row

; Channel set-up: pulse 1 square wave and pulse 2 quarter duty, both with a
; decaying envelope (15 down by 1 every 7 quarter frames, so a note is still
; sounding when the next row starts); the triangle's counters held, so it
; plays until the next note.
PULSE1_CTRL = %10000110
PULSE2_CTRL = %01000110
SHOT_CTRL   = %10111100     ; square wave, constant volume 12
TRI_CTRL    = %11111111

.macro ROW melody, harmony, bass, drum
        .word melody, harmony, bass
        .byte drum
.endmacro
ROW_SIZE = 7

music_init:
        lda #%00001111              ; pulses, triangle and noise on; DMC off
        sta APUSTATUS
        lda #PULSE1_CTRL
        sta $4000
        lda #PULSE2_CTRL
        sta $4004
        lda #%00001000              ; no sweep
        sta $4001
        sta $4005
        lda #TRI_CTRL
        sta $4008
        lda #<song
        sta song_ptr
        lda #>song
        sta song_ptr + 1
        lda #0
        sta next_row
        lda #1                      ; the first row starts on the first frame
        sta row_timer
        rts

music_frame:
        dec row_timer
        beq @row
        rts
@row:   lda #ROW_FRAMES
        sta row_timer
        ldy #0
        lda (song_ptr),y            ; pulse 1
        sta $4002
        iny
        lda (song_ptr),y
        ora #LENGTH_LONG
        sta $4003                   ; restarts the envelope
        iny
        lda (song_ptr),y            ; pulse 2, unless the shot sound has it
        sta pulse2_note
        iny
        lda (song_ptr),y
        sta pulse2_note + 1
        iny
        lda sfx_timer
        bne @triangle
        jsr play_pulse2_note
@triangle:
        lda (song_ptr),y
        sta $400A
        iny
        lda (song_ptr),y
        ora #LENGTH_LONG
        sta $400B
        iny
        lda (song_ptr),y            ; drum
        beq @next
        tax
        lda drum_envelope - 1,x
        sta $400C
        lda drum_noise - 1,x
        sta $400E
        lda #LENGTH_LONG
        sta $400F
@next:  lda next_row
        sta song_row
        inc next_row
        clc
        lda song_ptr
        adc #ROW_SIZE
        sta song_ptr
        bcc @wrap
        inc song_ptr + 1
@wrap:  lda next_row
        cmp #SONG_ROWS
        bne @done
        lda #0
        sta next_row
        lda #<song
        sta song_ptr
        lda #>song
        sta song_ptr + 1
@done:  rts

play_pulse2_note:
        lda #PULSE2_CTRL
        sta $4004
        lda pulse2_note
        sta $4006
        lda pulse2_note + 1
        ora #LENGTH_LONG
        sta $4007
        rts

start_shot_sound:
        lda #SHOT_FRAMES
        sta sfx_timer
        lda #SHOT_CTRL
        sta $4004
        lda #<SHOT_1
        sta $4006
        lda #(>SHOT_1) | LENGTH_LONG
        sta $4007
        rts

; Steps the shot sound; when it ends, pulse 2 gets the row's note back.
sfx_frame:
        lda sfx_timer
        beq @done
        dec sfx_timer
        beq play_pulse2_note
        lda sfx_timer
        ldx #<SHOT_1
        cmp #8
        bcs @set
        ldx #<SHOT_2
        cmp #4
        bcs @set
        ldx #<SHOT_3
@set:   stx $4006                   ; all three periods are below 256
@done:  rts

; ==================================================================== data

.segment "RODATA"

; Background palettes: 0 status bar and text (white on black, gold border),
; 1 sky and clouds, 2 hills, 3 grass and bricks. Sprite palettes: 0 player,
; 1 shot, 2 and 3 balloons. The first byte is the sky-blue backdrop; the
; sprite palettes' first bytes mirror the background ones, so they repeat them.
palette:
        .byte $21, $30, $0F, $27,  $21, $30, $10, $0F,  $21, $1A, $0A, $29,  $21, $2A, $17, $07
        .byte $21, $16, $37, $0F,  $21, $16, $27, $38,  $21, $15, $05, $30,  $21, $12, $02, $30

; A text record: nametable address, length, characters. Characters are
; their own tile numbers (chr.s places the font at the ASCII codes). The
; text goes to nametable `nt` (0 = $2000, 1 = $2400) at column `col`, row `row`.
.macro TEXT nt, col, row, string
        .byte >($2000 + (nt) * $400 + (row) * 32 + (col))
        .byte <($2000 + (nt) * $400 + (row) * 32 + (col))
        .byte .strlen(string), string
.endmacro
; A 16x16 cloud with its top left tile at column `col`, row `row`: two
; records of two tiles.
.macro CLOUD nt, col, row
        .byte >($2000 + (nt) * $400 + (row) * 32 + (col))
        .byte <($2000 + (nt) * $400 + (row) * 32 + (col))
        .byte 2, TILE_CLOUD, TILE_CLOUD + 1
        .byte >($2000 + (nt) * $400 + (row + 1) * 32 + (col))
        .byte <($2000 + (nt) * $400 + (row + 1) * 32 + (col))
        .byte 2, TILE_CLOUD + 2, TILE_CLOUD + 3
.endmacro

title_text:
        TEXT 0, 10, 8, "KESTRIX DEMO"
        TEXT 0, 8, 13, "A JUMP   B FIRE"
        TEXT 0, 10, 18, "PRESS START"
        .byte 0

SHOTS_DIGITS = $2000 + 1 * 32 + 27     ; row 1, column 27
status_text:
        TEXT 0, 2, 1, "KESTRIX DEMO"
        TEXT 0, 21, 1, "SHOTS 00"
        TEXT 0, 2, 2, "A JUMP   B FIRE"
        .byte 0

cloud_text:
        CLOUD 0, 3, 6
        CLOUD 0, 14, 10
        CLOUD 0, 24, 5
        CLOUD 1, 6, 8
        CLOUD 1, 19, 12
        CLOUD 1, 28, 6
        .byte 0

; What each of the 30 nametable rows repeats: rows 0-2 the status bar's
; black, row 3 the border, then sky, hills, grass and bricks.
row_kind:
        .byte 0, 0, 0, 1
        .byte 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2
        .byte 3, 4, 5, 6, 7, 7, 7, 7, 7
row_patterns_lo:
        .lobytes pattern_black, pattern_border, pattern_sky, pattern_hill_top
        .lobytes pattern_hill_middle, pattern_hill_foot, pattern_grass, pattern_brick
row_patterns_hi:
        .hibytes pattern_black, pattern_border, pattern_sky, pattern_hill_top
        .hibytes pattern_hill_middle, pattern_hill_foot, pattern_grass, pattern_brick

; Short names keep the hill patterns readable.
_U = TILE_HILL_UP
_D = TILE_HILL_DOWN
_H = TILE_HILL
__ = TILE_SKY
pattern_black:       .res 16, ' '
pattern_border:      .res 16, TILE_BORDER
pattern_sky:         .res 16, TILE_SKY
pattern_hill_top:    .byte __, __, __, __, __, __, _U, _D, __, __, __, __, __, __, __, __
pattern_hill_middle: .byte __, __, __, __, __, _U, _H, _H, _D, __, __, __, __, __, __, __
pattern_hill_foot:   .byte __, __, __, __, _U, _H, _H, _H, _H, _D, __, __, __, _U, _D, __
pattern_grass:       .res 16, TILE_GRASS
pattern_brick:       .res 16, TILE_BRICK

; Attribute rows of 4 tile rows each: status bar, 4 x sky, hills, ground x 2.
playfield_attributes:
        .res 8, %00000000
        .res 32, %01010101
        .res 8, %10101010
        .res 16, %11111111

; Balloons start spread over the screen, with speeds of 1 or 2 pixels.
balloon_start_x:
        .repeat NUM_BALLOONS, i
        .byte (i * 53 + 11) & $FF
        .endrepeat
balloon_start_y:
        .repeat NUM_BALLOONS, i
        .byte BALLOON_TOP + 1 + (i * 37) .mod (BALLOON_BOTTOM - BALLOON_TOP - 2)
        .endrepeat
balloon_start_dx:
        .byte 1, $FF, 2, $FE, 1, $FF, 1, $FE, 2, $FF
        .byte 1, $FF, 2, $FE, 1, 1, $FF, 2, $FE, $FF
balloon_start_dy:
        .byte 1, $FF, $FF, 1, 2, $FE, 1, $FF, 1, 1
        .byte $FF, 2, $FF, 1, $FE, 1, $FF, 1, $FF, 2

; Drum sounds: envelope (decay speed) and noise period for KICK, SNARE, HAT.
drum_envelope: .byte %00000011, %00000010, %00000000
drum_noise:    .byte $0C, $06, $02

; The song: I - vi - IV - V in C major, four rows per chord.
song:
        ;    melody  harmony  bass   drum
        ROW  P_E5,   P_C5,    T_C3,  KICK
        ROW  P_G5,   P_E5,    T_G3,  HAT
        ROW  P_E5,   P_C5,    T_C3,  SNARE
        ROW  P_C5,   P_G4,    T_G3,  HAT
        ROW  P_A5,   P_E5,    T_A3,  KICK
        ROW  P_E5,   P_C5,    T_E3,  HAT
        ROW  P_C5,   P_A4,    T_A3,  SNARE
        ROW  P_E5,   P_C5,    T_E3,  HAT
        ROW  P_F5,   P_C5,    T_F3,  KICK
        ROW  P_A5,   P_F5,    T_C4,  HAT
        ROW  P_G5,   P_E5,    T_F3,  SNARE
        ROW  P_F5,   P_C5,    T_C4,  HAT
        ROW  P_G5,   P_D5,    T_G3,  KICK
        ROW  P_B5,   P_G5,    T_D3,  HAT
        ROW  P_D5,   P_B4,    T_G3,  SNARE
        ROW  P_B4,   P_G4,    T_D3,  HAT
song_end:
SONG_ROWS = (song_end - song) / ROW_SIZE

; ================================================================= vectors

.segment "VECTORS"
        .word nmi, reset, irq

.include "chr.s"
