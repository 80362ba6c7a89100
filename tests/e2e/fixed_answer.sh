#!/bin/sh
# SPDX-License-Identifier: MIT
# A wrong program, to show that ./scripts/test --binary fails one: it answers every request with
# the same read answer, well-formed but whatever was asked.
printf 'Status: 200 OK\r\nContent-Type: text/xml\r\n\r\n<?xml version="1.0" encoding="UTF-8"?>'
printf '<QuadViewResponse SchemaVersion="1.6.0" xmlns="http://www.tarq.com/sefra/http_cgi/quadview"'
printf ' xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'
printf ' xsi:schemaLocation="http://www.tarq.com/sefra/http_cgi/quadview'
printf ' http://www.tarq.com/sefra/http_cgi/quadview"><Success><GetQuadViewSuccess>'
for id in 1 2 3 4; do
  printf '<QuadViewSource><Id>%s</Id></QuadViewSource>' "$id"
done
printf '</GetQuadViewSuccess></Success></QuadViewResponse>\n'
