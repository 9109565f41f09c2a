#!/usr/bin/env python3
"""Draws the picture buttons of linkspy: one SVG per button and state (57 x 57).

Every picture is a tile with its symbol in the upper part; the button paints its caption on
the band below. Up: raised tile. Down: sunken tile, symbol moved by one pixel. Focus: raised
tile with a blue ring. Disable: flat grey tile, symbol in greys. Run it again after a change:
the SVG files beside it are its output.
"""
import math
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# Colours of the symbols; the disabled pictures take each as a light grey of like brightness.
INK = "#2c3e50"
BLUE = "#1f6fb5"
LIGHT_BLUE = "#d6eaf8"
GREEN = "#27ae60"
SCOPE_GREEN = "#5be38a"
SCREEN = "#1b2631"
PAPER = "#ffffff"
LINE = "#8a9aa9"
ORANGE = "#e67e22"
GOLD = "#c9a227"
METAL = "#d5dbe1"


def grey(colour):
    r, g, b = (int(colour[i:i + 2], 16) for i in (1, 3, 5))
    luma = 0.299 * r + 0.587 * g + 0.114 * b
    v = int(150 + luma * 0.36)
    return "#%02x%02x%02x" % (v, v, v)


def gear(cx, cy, r_out, r_in, teeth):
    pts = []
    for i in range(teeth * 4):
        a = 2 * math.pi * i / (teeth * 4) - math.pi / 2
        r = r_out if (i % 4) in (1, 2) else r_in
        pts.append("%.2f,%.2f" % (cx + r * math.cos(a), cy + r * math.sin(a)))
    return " ".join(pts)


def symbol(name, c):
    if name == "Scan":
        return f'''
  <line x1="33" y1="24" x2="41" y2="32" stroke="{c(INK)}" stroke-width="5" stroke-linecap="round"/>
  <circle cx="25" cy="17" r="10" fill="{c(LIGHT_BLUE)}" stroke="{c(BLUE)}" stroke-width="3"/>
  <circle cx="20" cy="17" r="1.9" fill="{c(GREEN)}"/>
  <circle cx="25" cy="17" r="1.9" fill="{c(GREEN)}"/>
  <circle cx="30" cy="17" r="1.9" fill="{c(GREEN)}"/>'''
    if name == "Test":
        return f'''
  <rect x="10" y="6" width="37" height="28" rx="3" fill="{c(SCREEN)}" stroke="{c(INK)}" stroke-width="1.5"/>
  <polyline points="13,27 18,27 18,13 24,13 24,27 30,27 30,13 36,13 36,27 44,27" fill="none"
            stroke="{c(SCOPE_GREEN)}" stroke-width="2.2" stroke-linejoin="round"/>'''
    if name == "Report":
        return f'''
  <path d="M16,5 H35 L42,12 V36 H16 Z" fill="{c(PAPER)}" stroke="{c(INK)}" stroke-width="1.6" stroke-linejoin="round"/>
  <path d="M35,5 V12 H42" fill="none" stroke="{c(INK)}" stroke-width="1.6" stroke-linejoin="round"/>
  <rect x="20" y="9" width="11" height="3" fill="{c(BLUE)}"/>
  <line x1="20" y1="17" x2="38" y2="17" stroke="{c(LINE)}" stroke-width="1.6"/>
  <line x1="20" y1="21.5" x2="38" y2="21.5" stroke="{c(LINE)}" stroke-width="1.6"/>
  <line x1="20" y1="26" x2="38" y2="26" stroke="{c(LINE)}" stroke-width="1.6"/>
  <polyline points="20,31 23,33.5 28,29" fill="none" stroke="{c(GREEN)}" stroke-width="2" stroke-linecap="round" stroke-linejoin="round"/>'''
    if name == "Generate":
        return f'''
  <path d="M11,5 H27 L33,11 V33 H11 Z" fill="{c(PAPER)}" stroke="{c(INK)}" stroke-width="1.6" stroke-linejoin="round"/>
  <line x1="15" y1="13" x2="25" y2="13" stroke="{c(LINE)}" stroke-width="1.6"/>
  <line x1="15" y1="17.5" x2="27" y2="17.5" stroke="{c(LINE)}" stroke-width="1.6"/>
  <line x1="15" y1="22" x2="24" y2="22" stroke="{c(LINE)}" stroke-width="1.6"/>
  <polygon points="{gear(37, 25, 11, 8, 8)}" fill="{c(ORANGE)}" stroke="{c(INK)}" stroke-width="1.2" stroke-linejoin="round"/>
  <circle cx="37" cy="25" r="3.4" fill="{c(PAPER)}" stroke="{c(INK)}" stroke-width="1.2"/>'''
    if name == "Com":
        pins = "".join(f'\n  <circle cx="{x}" cy="17" r="1.8" fill="{c(GOLD)}"/>' for x in (17.5, 23, 28.5, 34, 39.5))
        pins += "".join(f'\n  <circle cx="{x}" cy="24" r="1.8" fill="{c(GOLD)}"/>' for x in (20.25, 25.75, 31.25, 36.75))
        return f'''
  <path d="M8,10 H49 L44,31 H13 Z" fill="{c(METAL)}" stroke="{c(INK)}" stroke-width="1.8" stroke-linejoin="round"/>
  <path d="M12.5,12.5 H44.5 L40.8,28.5 H16.2 Z" fill="{c(SCREEN)}"/>{pins}'''
    if name == "Help":
        return f'''
  <circle cx="28.5" cy="20" r="15" fill="{c(BLUE)}" stroke="{c(INK)}" stroke-width="1.2"/>
  <path d="M23,16 A5.6,5.6 0 1 1 31.2,20.8 C29.2,22 28.5,23 28.5,25.5" fill="none" stroke="#ffffff"
        stroke-width="3.4" stroke-linecap="round"/>
  <circle cx="28.5" cy="30.5" r="2.2" fill="#ffffff"/>'''
    raise ValueError(name)


def tile(state):
    if state == "Down":
        return '''
  <defs><linearGradient id="face" x1="0" y1="0" x2="0" y2="1">
    <stop offset="0" stop-color="#b9c4cf"/><stop offset="1" stop-color="#dfe5eb"/></linearGradient></defs>
  <rect x="1.5" y="1.5" width="54" height="54" rx="6" fill="url(#face)" stroke="#4d5d6c" stroke-width="1.5"/>
  <path d="M3,50 V8 A5,5 0 0 1 8,3 H49" fill="none" stroke="#8796a5" stroke-width="1.6"/>'''
    if state == "Disable":
        return '''
  <rect x="1.5" y="1.5" width="54" height="54" rx="6" fill="#eef0f2" stroke="#c4cad0" stroke-width="1.2"/>'''
    ring = ('\n  <rect x="3.5" y="3.5" width="50" height="50" rx="4.5" fill="none" stroke="#2e86de" '
            'stroke-width="2.2"/>') if state == "Focus" else ""
    return f'''
  <defs><linearGradient id="face" x1="0" y1="0" x2="0" y2="1">
    <stop offset="0" stop-color="#ffffff"/><stop offset="1" stop-color="#dde3e9"/></linearGradient></defs>
  <rect x="1.5" y="1.5" width="54" height="54" rx="6" fill="url(#face)" stroke="#7b8a99" stroke-width="1.2"/>
  <path d="M3,50 V8 A5,5 0 0 1 8,3 H49" fill="none" stroke="#ffffff" stroke-width="1.4"/>
  <path d="M5,54 H49 A5,5 0 0 0 54,49 V6" fill="none" stroke="#a3afbb" stroke-width="1.4"/>{ring}'''


def picture(name, state):
    colour = grey if state == "Disable" else (lambda c: c)
    shift = ' transform="translate(1,1)"' if state == "Down" else ""
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="57" height="57" viewBox="0 0 57 57">'
            f'{tile(state)}\n  <g{shift}>{symbol(name, colour)}\n  </g>\n</svg>\n')


def main():
    for name in ("Scan", "Test", "Report", "Generate", "Com", "Help"):
        states = ("Up", "Down", "Focus") + (() if name == "Help" else ("Disable",))
        for state in states:
            with open(os.path.join(HERE, f"{name}{state}.svg"), "w") as out:
                out.write(picture(name, state))


if __name__ == "__main__":
    main()
