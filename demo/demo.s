; BALLOON POP - the project's own demo cartridge (NROM, mapper 0).
;
; A small game: shots fired straight up pop balloons, one point each, and a
; popped balloon comes back somewhere else; a round lasts ROUND_SECONDS, then
; the game is over until Start begins a new round. The score and the time
; left are in the status bar. The twenty balloons fly in five bunches that
; drift sideways, each balloon bobbing up and down on its own, so a shot
; from under a bunch pops one while a shot from anywhere else mostly misses.
;
; It does what games do, so that one cartridge exercises the emulator the way
; real ones do:
;   - a title screen ("BALLOON POP", "PRESS START") that Start skips and that
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
;   - a player moved by the d-pad: A jumps, B fires (with a sound effect;
;     a pop has its own on the noise channel);
;   - a looping tune on both pulses, the triangle and the noise channel.
;
; Build: demo/build.sh (ca65/ld65).
;
; RAM that tests and tools may read (asserted below, so it cannot drift):
;   $00 game_state  0 = title, 1 = playing, 2 = game over
;   $01 song_row    row of the song playing now, 0 to SONG_ROWS - 1
;   $02 sfx_timer   frames left of the shot sound (0 = none)
;   $03-$04 score   four BCD digits, low byte first ($03 = the last two
;                   digits), 0000-9999: one point per balloon popped
;   $05 timer       whole seconds left in the round, binary, ROUND_SECONDS
;                   down to 0, when the game is over
; Start on the title or after the game is over begins a round: score 0,
; timer ROUND_SECONDS.
; OAM (copied from $0200 each frame):
;   entry 0     sprite 0, the split marker (invisible)
;   entry 1     the player's left half: its X byte ($0207) is the player's position
;   entry 2     the player's right half
;   entry 3     the shot (Y = $FF while there is none); it flies straight up
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
PLAYER_MAX_X  = 240         ; both limits are multiples of WALK_SPEED
WALK_SPEED    = 2
GRAVITY       = $0040       ; 8.8 fixed point, pixels per frame per frame
JUMP_SPEED    = $FC00       ; -4 pixels per frame: a jump 32 pixels high
SHOT_SPEED    = 8           ; pixels per frame, upwards
SHOT_TOP      = 24          ; a shot above this OAM Y has left the playfield
ROUND_SECONDS = 60
SECOND_FRAMES = 60
NUM_BALLOONS  = 20
NUM_BUNCHES   = 5
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
score:        .res 2            ; BCD, low byte first
timer:        .res 1            ; seconds left in the round
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
shot_on:      .res 1            ; 0 none, 1 flying
second_timer: .res 1            ; frames left in the current second
status_dirty: .res 1            ; the NMI handler redraws score and time
game_over_bar: .res 1           ; the NMI handler writes the game-over message
rng:          .res 2            ; 16-bit Galois LFSR, never 0
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
.assert score = $03, error, "RAM map in the header comment is out of date"
.assert timer = $05, error, "RAM map in the header comment is out of date"

.segment "OAM"
oam:          .res 256
.assert oam = $0200, error, "RAM map in the header comment is out of date"

.segment "BSS"
; Balloons fly in bunches: a bunch drifts sideways, and each of its
; balloons, a few pixels off the bunch's X, bobs up and down on its own.
; Positions and speeds are 8.8 fixed point, in separate tables for the whole
; pixels and the fractions; speeds are signed.
bunch_x:      .res NUM_BUNCHES
bunch_xf:     .res NUM_BUNCHES
bunch_dx:     .res NUM_BUNCHES
bunch_dxf:    .res NUM_BUNCHES
balloon_bunch: .res NUM_BALLOONS
balloon_x:    .res NUM_BALLOONS     ; the bunch's X plus the balloon's offset
balloon_y:    .res NUM_BALLOONS
balloon_yf:   .res NUM_BALLOONS
balloon_dy:   .res NUM_BALLOONS
balloon_dyf:  .res NUM_BALLOONS

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
        lda #1
        sta rng

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
        jsr random                  ; every frame, so the moment of a pop matters
        lda game_state
        bne @game
        jsr title_frame
        jmp @sound
@game:
        jsr split_scroll
        jsr read_pad
        lda game_state
        cmp #2
        bne @play
        jsr over_frame
        jmp @sound
@play:
        jsr move_player
        jsr move_shot
        jsr move_balloons
        jsr hit_balloons
        jsr build_oam
        jsr count_time
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

; Vertical blank: sprites, the status bar, then scroll 0 for the status bar.
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
        jsr draw_status
        lda #0
        sta status_dirty
@no_status:
        lda game_over_bar
        beq @no_message
        lda #<game_over_text
        ldx #>game_over_text
        jsr draw_text
        lda #0
        sta game_over_bar
@no_message:
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

; Game over: only Start does anything, and it begins a new round.
over_frame:
        lda pad_new
        and #BTN_START
        bne start_game
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
        sta shot_on
        sta scroll_x
        sta scroll_x + 1
        sta score
        sta score + 1
        sta game_over_bar
        lda #ROUND_SECONDS
        sta timer
        lda #SECOND_FRAMES
        sta second_timer
        lda #1
        sta on_ground
        sta status_dirty
        ldx #NUM_BUNCHES - 1
@bunch: lda bunch_start_x,x
        sta bunch_x,x
        lda #$80
        sta bunch_xf,x
        lda bunch_start_dx,x
        sta bunch_dx,x
        lda bunch_start_dxf,x
        sta bunch_dxf,x
        dex
        bpl @bunch
        ldx #NUM_BALLOONS - 1
@balloon:
        lda balloon_start_bunch,x
        sta balloon_bunch,x
        lda balloon_start_y,x
        sta balloon_y,x
        lda #$80
        sta balloon_yf,x
        lda balloon_start_dy,x
        sta balloon_dy,x
        lda balloon_start_dyf,x
        sta balloon_dyf,x
        jsr place_balloon
        dex
        bpl @balloon
        jmp build_oam

; ---------------------------------------------------------------- game

; Left/Right walk WALK_SPEED pixels per frame; A jumps from the ground.
move_player:
        lda pad
        and #BTN_RIGHT
        beq @not_right
        lda #0
        sta facing
        lda player_x
        cmp #PLAYER_MAX_X
        bcs @not_right
        adc #WALK_SPEED             ; carry is clear
        sta player_x
@not_right:
        lda pad
        and #BTN_LEFT
        beq @not_left
        lda #1
        sta facing
        lda player_x
        cmp #PLAYER_MIN_X + WALK_SPEED
        bcc @not_left
        sbc #WALK_SPEED             ; carry is set
        sta player_x
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

; B fires one shot at a time, straight up from the middle of the player,
; with a sound.
move_shot:
        lda pad_new
        and #BTN_B
        beq @move
        lda shot_on
        bne @move
        lda #1
        sta shot_on
        lda player_x
        clc
        adc #4
        sta shot_x
        lda player_y + 1
        sec
        sbc #8
        sta shot_y
        jmp start_shot_sound
@move:  lda shot_on
        beq @done
        lda shot_y
        sec
        sbc #SHOT_SPEED
        sta shot_y
        cmp #SHOT_TOP
        bcs @done
        lda #0
        sta shot_on
@done:  rts

; Bunches drift sideways around the screen; balloons bob up and down
; between BALLOON_TOP and BALLOON_BOTTOM, each at its own speed.
move_balloons:
        ldx #NUM_BUNCHES - 1
@bunch: clc
        lda bunch_xf,x
        adc bunch_dxf,x
        sta bunch_xf,x
        lda bunch_x,x
        adc bunch_dx,x
        sta bunch_x,x
        dex
        bpl @bunch
        ldx #NUM_BALLOONS - 1
@next:  jsr step_y
        lda balloon_y,x
        cmp #BALLOON_TOP
        bcc @bounce
        cmp #BALLOON_BOTTOM
        bcc @ok
@bounce:
        sec                         ; reverse, and step back inside
        lda #0
        sbc balloon_dyf,x
        sta balloon_dyf,x
        lda #0
        sbc balloon_dy,x
        sta balloon_dy,x
        jsr step_y
@ok:    jsr place_balloon
        dex
        bpl @next
        rts

; Balloon X follows its bunch.
place_balloon:
        ldy balloon_bunch,x
        lda bunch_x,y
        clc
        adc balloon_offset,x
        sta balloon_x,x
        rts

step_y:
        clc
        lda balloon_yf,x
        adc balloon_dyf,x
        sta balloon_yf,x
        lda balloon_y,x
        adc balloon_dy,x
        sta balloon_y,x
        rts

; A shot that touches a balloon pops it: a point, the pop sound, and the
; balloon starts again at a random place. The shot's dart (columns 3-4,
; rows 3-12 of its sprite) against the balloon's body (columns 0-7, rows
; 0-8): X differences -4 to 4 and Y differences -12 to 5 overlap.
hit_balloons:
        lda shot_on
        beq @done
        ldx #NUM_BALLOONS - 1
@next:  lda shot_x
        sec
        sbc balloon_x,x
        clc
        adc #4
        cmp #9
        bcs @miss
        lda shot_y
        sec
        sbc balloon_y,x
        clc
        adc #12
        cmp #18
        bcs @miss
        lda #0
        sta shot_on
        jsr add_point
        jsr pop_sound
        jmp new_balloon
@miss:  dex
        bpl @next
@done:  rts

; One point more on the BCD score, which stops at 9999.
add_point:
        lda score
        cmp #$99
        bne @low
        lda score + 1
        cmp #$99
        beq @done
        jsr bcd_increment
        sta score + 1
        lda #0
        sta score
        beq @shown
@low:   jsr bcd_increment
        sta score
@shown: lda #1
        sta status_dirty
@done:  rts

; A + 1 for a BCD byte below $99.
bcd_increment:
        clc
        adc #1
        tay
        and #$0F
        cmp #$0A
        tya
        bcc @done
        adc #5                      ; carry is set: +6 carries into the tens
@done:  rts

; Balloon X starts again in another bunch, at a random height and with a
; random vertical speed.
new_balloon:
        jsr random
        and #$7F                    ; 0-127, inside the balloons' band
        clc
        adc #BALLOON_TOP + 2
        sta balloon_y,x
        jsr random
        and #7
        tay
        lda respawn_dy,y
        sta balloon_dy,x
        lda respawn_dyf,y
        sta balloon_dyf,x
        jsr random                  ; one of the other bunches: 1-4 further on
        and #3
        sec
        adc balloon_bunch,x
        cmp #NUM_BUNCHES
        bcc @bunch
        sbc #NUM_BUNCHES
@bunch: sta balloon_bunch,x
        jmp place_balloon

; Steps the random generator (16-bit Galois LFSR, taps $B400); returns its
; low byte in A. Leaves X alone.
random:
        lsr rng + 1
        ror rng
        bcc @done
        lda rng + 1
        eor #$B4
        sta rng + 1
@done:  lda rng
        rts

; The round clock: one second every SECOND_FRAMES frames; at 0 the game is over.
count_time:
        dec second_timer
        bne @done
        lda #SECOND_FRAMES
        sta second_timer
        dec timer
        lda #1
        sta status_dirty
        lda timer
        bne @done
        lda #2
        sta game_state
        lda #0
        sta shot_on
        lda #$FF
        sta oam + 12                ; the shot is gone
        lda #1
        sta game_over_bar
@done:  rts

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
        lda shot_on
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

; The score's four digits and the time's two, in vertical blank.
draw_status:
        lda #>SCORE_DIGITS
        sta PPUADDR
        lda #<SCORE_DIGITS
        sta PPUADDR
        lda score + 1
        jsr put_bcd
        lda score
        jsr put_bcd
        lda #>TIME_DIGITS
        sta PPUADDR
        lda #<TIME_DIGITS
        sta PPUADDR
        lda timer
        ldx #'0'                    ; tens, by subtraction
@tens:  cmp #10
        bcc @units
        sbc #10
        inx
        bne @tens
@units: stx PPUDATA
        ora #'0'
        sta PPUDATA
        rts

; Writes the two digits of the BCD byte in A.
put_bcd:
        tay
        lsr a
        lsr a
        lsr a
        lsr a
        ora #'0'
        sta PPUDATA
        tya
        and #$0F
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

; The pop: noise decaying fast from full volume (envelope period 1, about
; 8 frames), a mid-pitched hiss.
POP_ENVELOPE = %00000001
POP_NOISE    = $05

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

; A pop: a short burst on the noise channel, which the next drum takes back.
pop_sound:
        lda #POP_ENVELOPE
        sta $400C
        lda #POP_NOISE
        sta $400E
        lda #LENGTH_LONG
        sta $400F                   ; restarts the envelope
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
        TEXT 0, 10, 8, "BALLOON POP"
        TEXT 0, 8, 13, "A JUMP   B FIRE"
        TEXT 0, 10, 18, "PRESS START"
        .byte 0

SCORE_DIGITS = $2000 + 1 * 32 + 8      ; row 1, column 8
TIME_DIGITS  = $2000 + 1 * 32 + 27     ; row 1, column 27
status_text:
        TEXT 0, 2, 1, "SCORE 0000"
        TEXT 0, 22, 1, "TIME 60"
        TEXT 0, 2, 2, "A JUMP   B FIRE"
        .byte 0
.assert ROUND_SECONDS = 60, error, "the status bar's first picture shows TIME 60"

; Covers the controls line when the round is over.
game_over_text:
        TEXT 0, 2, 2, "GAME OVER      PRESS START"
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

; Bunches start spread over the screen, each at its own sideways speed (in
; 1/256 pixel per frame, 3/16 to 3/4: slow enough that a shot aimed at one
; reaches it). Balloon i starts in bunch i mod NUM_BUNCHES, at its own
; height and vertical speed (1/16 to 5/8 pixel per frame), and keeps its
; offset from the bunch's X.
.assert NUM_BUNCHES = 5, error, "the bunch tables have five entries"
bunch_start_x: .byte 20, 72, 124, 176, 228
.define BUNCH_DX $0040, $FF60, $00C0, $FFD0, $0080
bunch_start_dx:  .hibytes BUNCH_DX
bunch_start_dxf: .lobytes BUNCH_DX
balloon_start_bunch:
        .repeat NUM_BALLOONS, i
        .byte i .mod NUM_BUNCHES
        .endrepeat
balloon_offset:
        .repeat NUM_BALLOONS, i
        .byte (((i * 3) .mod 5) - 2) & $FF
        .endrepeat
balloon_start_y:
        .repeat NUM_BALLOONS, i
        .byte BALLOON_TOP + 1 + (i * 37) .mod (BALLOON_BOTTOM - BALLOON_TOP - 2)
        .endrepeat
.define START_DY $0020, $FFE0, $FFC0, $0040, $0080, $FF80, $0010, $FFD0, $0030, $0060, \
                 $FFF0, $00A0, $FFA0, $0018, $FF90, $0050, $FFE8, $0028, $FFB0, $0070
balloon_start_dy:  .hibytes START_DY
balloon_start_dyf: .lobytes START_DY

; Vertical speeds of a balloon that starts again after a pop, in 1/256 pixel per frame.
.define RESPAWN_DY $0020, $FFE0, $0040, $FFC0, $0080, $FF80, $0010, $FFF0
respawn_dy:   .hibytes RESPAWN_DY
respawn_dyf:  .lobytes RESPAWN_DY

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
