-- The units table as central init made it before units were partitioned by month (pg_dump
-- --schema-only -t units): the starting point of the migration test.
CREATE TABLE public.units (
    attempt_uuid text NOT NULL,
    received timestamp with time zone DEFAULT clock_timestamp() NOT NULL,
    run_uuid text,
    sequence bigint,
    station_id text,
    operator text,
    lot text,
    port_selector text,
    device text,
    usb_id text,
    usb_serial text,
    usb_location text,
    started_utc text,
    ended_utc text,
    duration_ms bigint,
    release_file text,
    release_sha256 text,
    file_product_id text,
    handset_product_id text,
    handset_download_code text,
    handset_block_size bigint,
    handset_blank_byte bigint,
    handset_checksum_kind text,
    mode text,
    speed bigint,
    result_code bigint,
    result_meaning text,
    outcome text,
    expected_checksum bigint,
    reported_checksum bigint,
    retries_exchange bigint,
    retries_erase bigint,
    retries_blocks bigint,
    retries_checksum bigint,
    retries_abort bigint,
    tool_version text,
    tool_sha256 text,
    abort_reason bigint,
    unsent_bytes bigint,
    parameter_record text,
    adapter_driver text,
    adapter_latency_ms bigint,
    label text,
    attempt bigint
);
ALTER TABLE public.units OWNER TO postgres;
ALTER TABLE ONLY public.units
    ADD CONSTRAINT units_pkey PRIMARY KEY (attempt_uuid);
CREATE INDEX units_by_label_time ON public.units USING btree (label, started_utc);
CREATE INDEX units_by_lot ON public.units USING btree (lot, started_utc);
CREATE INDEX units_by_port ON public.units USING btree (port_selector);
CREATE INDEX units_by_release ON public.units USING btree (release_sha256, started_utc);
CREATE INDEX units_by_start ON public.units USING btree (started_utc);
CREATE INDEX units_by_station ON public.units USING btree (station_id, started_utc);
CREATE INDEX units_failures ON public.units USING btree (port_selector, result_code, abort_reason) INCLUDE (result_meaning, station_id, started_utc) WHERE (outcome = ANY (ARRAY['failed'::text, 'port-lost'::text]));
CREATE INDEX units_figures ON public.units USING btree (station_id, duration_ms) INCLUDE (outcome, started_utc);
CREATE INDEX units_period ON public.units USING btree (started_utc) INCLUDE (station_id, lot, outcome);
CREATE POLICY tarvolo_any ON public.units USING (true) WITH CHECK (true);
CREATE POLICY tarvolo_own_station ON public.units AS RESTRICTIVE TO tarvolo_station USING ((station_id = ( SELECT public.tarvolo_station_of(CURRENT_USER) AS tarvolo_station_of))) WITH CHECK (((station_id = ( SELECT public.tarvolo_station_of(CURRENT_USER) AS tarvolo_station_of)) AND (COALESCE(public.tarvolo_run_station(run_uuid), ( SELECT public.tarvolo_station_of(CURRENT_USER) AS tarvolo_station_of)) = ( SELECT public.tarvolo_station_of(CURRENT_USER) AS tarvolo_station_of))));
ALTER TABLE public.units ENABLE ROW LEVEL SECURITY;
GRANT INSERT ON TABLE public.units TO tarvolo_station;
GRANT SELECT ON TABLE public.units TO tarvolo_reader;
GRANT SELECT(attempt_uuid) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(run_uuid) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(sequence) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(station_id) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(operator) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(lot) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(port_selector) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(device) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(usb_id) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(usb_serial) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(usb_location) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(started_utc) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(ended_utc) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(duration_ms) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(release_file) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(release_sha256) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(file_product_id) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(handset_product_id) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(handset_download_code) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(handset_block_size) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(handset_blank_byte) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(handset_checksum_kind) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(mode) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(speed) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(result_code) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(result_meaning) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(outcome) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(expected_checksum) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(reported_checksum) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(retries_exchange) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(retries_erase) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(retries_blocks) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(retries_checksum) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(retries_abort) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(tool_version) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(tool_sha256) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(abort_reason) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(unsent_bytes) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(parameter_record) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(adapter_driver) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(adapter_latency_ms) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(label) ON TABLE public.units TO tarvolo_station;
GRANT SELECT(attempt) ON TABLE public.units TO tarvolo_station;
