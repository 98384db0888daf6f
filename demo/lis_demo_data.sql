-- Demo laboratory for the integration service (UTF-8 file; the database is WIN1252).
--
-- Devices (apa_aparelhos.apa_dsc is what the analyzer's device name is compared with):
--   1 'XN-550'   Sysmex XN-550 hematology, ASTM (header field 5 component 1 is "XN-550")
--                exams 101 Hemograma completo, 103 Reticulócitos
--   2 'Indiko'   Thermo Indiko chemistry, ASTM (header model is "1": configure nomeTevarin "Indiko")
--                exams 201 Glicose, 202 Colesterol total, 203 Triglicerídeos, 204 Creatinina,
--                205 Ureia, 206 AST/TGO, 207 ALT/TGP, 208 Índice aterogênico (no analyzer name)
--   3 'BC-5380'  Mindray BC-5380 hematology, HL7 (MSH-4 is "Mindray": configure nomeTevarin "BC-5380")
--                exam 101 Hemograma completo
--
-- Analyzer test names (are_nom_apa) by exam:
--   101 on XN-550:  WBC RBC HGB HCT MCV MCH MCHC PLT, plus one attribute with an empty name
--   101 on BC-5380: WBC RBC HGB HCT PLT
--   103: RET%  RET#      201: GLU   202: CHOL   203: TRIG   204: CREA   205: UREA
--   206: AST   207: ALT  208: (empty name only)
--
-- Orders (visible code = ped_cod_vis, what the analyzer sends as the sample id):
--   vis        ped  patient (sex, birth)                               physician        exams (status) -> device
--   1001        1   João da Silva (M, 1980-05-14)                      Dra. Márcia Lopes 101(2) -> XN-550, BC-5380
--   1002        2   Maria José Conceição (F, 1975-11-02)               Dr. Antônio Prado 201(2) 202(2) 203(2) -> Indiko
--   2240801237  3   Antônio Carlos de Albuquerque Magalhães Júnior      Dr. Antônio Prado 201(2) 204(2) 205(2) -> Indiko, urgent
--                   (M, 1948-02-29; name longer than 30 characters)
--   1004        4   Ana Beatriz Gonçalves (F, 1992-07-21)              Dra. Márcia Lopes 101(2) EDTA, 201(2) plasma fluoretado,
--                                                                                       202(2) soro -> Indiko gives TWO materials
--   1005        5   Pedro Henrique Gonçalves (M, 2015-03-09)           (none)           101(2) -> XN-550, BC-5380
--   1006        6   Luíza Fernandes (F, 1988-12-31)                    Dr. Antônio Prado 101(3) 103(1): no exam with status 2
--   19          7   Francisca Araújo (F, 1960-01-15)                   Dra. Márcia Lopes 101(2) (queried as bar code "0019")
--   1068687     8   José Luís Peçanha (M, 1971-09-30)                  Dr. Antônio Prado 204(2) 206(2) -> Indiko
--   1009        9   Irene Müller (F, 1955-04-18)                       Dra. Márcia Lopes 208(2): only empty attribute names
--   1010       10   Laboratório Parceiro Ltda (company, no personal data row): never found
--   1011       11   Cláudia Regina Schünemann Ferreira de Vasconcelos (F, 1983-06-05)
--                                                                      Dr. Antônio Prado 101(2) 103(2) -> XN-550, urgent
--   1012       12   Sérgio Ângelo Brandão (M, 1969-10-10)              Dra. Márcia Lopes 201(2) 202(1) -> Indiko (GLU only)
--
-- Sample codes with no order: 9999, SAMPLE123 (not a number), 0 .

insert into apa_aparelhos (apa_cod, apa_dsc) values (1, 'XN-550');
insert into apa_aparelhos (apa_cod, apa_dsc) values (2, 'Indiko');
insert into apa_aparelhos (apa_cod, apa_dsc) values (3, 'BC-5380');

insert into exa_exames (exa_cod, exa_dsc) values (101, 'Hemograma completo');
insert into exa_exames (exa_cod, exa_dsc) values (103, 'Reticulócitos');
insert into exa_exames (exa_cod, exa_dsc) values (201, 'Glicose');
insert into exa_exames (exa_cod, exa_dsc) values (202, 'Colesterol total');
insert into exa_exames (exa_cod, exa_dsc) values (203, 'Triglicerídeos');
insert into exa_exames (exa_cod, exa_dsc) values (204, 'Creatinina');
insert into exa_exames (exa_cod, exa_dsc) values (205, 'Ureia');
insert into exa_exames (exa_cod, exa_dsc) values (206, 'AST/TGO');
insert into exa_exames (exa_cod, exa_dsc) values (207, 'ALT/TGP');
insert into exa_exames (exa_cod, exa_dsc) values (208, 'Índice aterogênico');
insert into exa_exames (exa_cod, exa_dsc) values (301, 'Urina tipo I');

insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (1, 1, 101, 'Hemograma XN-550');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (2, 1, 103, 'Reticulócitos XN-550');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (3, 2, 201, 'Glicose');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (4, 2, 202, 'Colesterol total');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (5, 2, 203, 'Triglicerídeos');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (6, 2, 204, 'Creatinina');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (7, 2, 205, 'Ureia');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (8, 2, 206, 'AST/TGO');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (9, 2, 207, 'ALT/TGP');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (10, 2, 208, 'Índice aterogênico');
insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod, mla_dsc) values (11, 3, 101, 'Hemograma BC-5380');

insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (1, 1, 101, 'Leucócitos', 'WBC');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (2, 1, 101, 'Hemácias', 'RBC');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (3, 1, 101, 'Hemoglobina', 'HGB');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (4, 1, 101, 'Hematócrito', 'HCT');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (5, 1, 101, 'VCM', 'MCV');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (6, 1, 101, 'HCM', 'MCH');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (7, 1, 101, 'CHCM', 'MCHC');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (8, 1, 101, 'Plaquetas', 'PLT');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (9, 1, 101, 'Observação do hemograma', '');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (10, 2, 103, 'Reticulócitos %', 'RET%');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (11, 2, 103, 'Reticulócitos absolutos', 'RET#');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (12, 3, 201, 'Glicose', 'GLU');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (13, 4, 202, 'Colesterol total', 'CHOL');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (14, 5, 203, 'Triglicerídeos', 'TRIG');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (15, 6, 204, 'Creatinina', 'CREA');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (16, 7, 205, 'Ureia', 'UREA');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (17, 8, 206, 'AST/TGO', 'AST');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (18, 9, 207, 'ALT/TGP', 'ALT');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (19, 10, 208, 'Índice aterogênico', '');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (20, 11, 101, 'Leucócitos', 'WBC');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (21, 11, 101, 'Hemácias', 'RBC');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (22, 11, 101, 'Hemoglobina', 'HGB');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (23, 11, 101, 'Hematócrito', 'HCT');
insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) values (24, 11, 101, 'Plaquetas', 'PLT');

insert into mat_material (mat_cod, mat_dsc) values (1, 'Sangue total EDTA');
insert into mat_material (mat_cod, mat_dsc) values (2, 'Soro');
insert into mat_material (mat_cod, mat_dsc) values (3, 'Plasma fluoretado');
insert into mat_material (mat_cod, mat_dsc) values (4, 'Urina');

insert into med_medicos (med_cod, med_nom, med_crm) values (1, 'Dra. Márcia Lopes', 'CRM-SP 123456');
insert into med_medicos (med_cod, med_nom, med_crm) values (2, 'Dr. Antônio Prado', 'CRM-MG 654321');

insert into grp_grupos (grp_cod, grp_dsc) values (1, 'Ambulatório');
insert into grp_grupos (grp_cod, grp_dsc) values (2, 'Internação');
insert into grp_grupos (grp_cod, grp_dsc) values (3, 'Convênio Saúde+');

insert into cli_clientes (cli_cod, cli_nom) values (1, 'João da Silva');
insert into cli_clientes (cli_cod, cli_nom) values (2, 'Maria José Conceição');
insert into cli_clientes (cli_cod, cli_nom) values (3, 'Antônio Carlos de Albuquerque Magalhães Júnior');
insert into cli_clientes (cli_cod, cli_nom) values (4, 'Ana Beatriz Gonçalves');
insert into cli_clientes (cli_cod, cli_nom) values (5, 'Pedro Henrique Gonçalves');
insert into cli_clientes (cli_cod, cli_nom) values (6, 'Luíza Fernandes');
insert into cli_clientes (cli_cod, cli_nom) values (7, 'Francisca Araújo');
insert into cli_clientes (cli_cod, cli_nom) values (8, 'José Luís Peçanha');
insert into cli_clientes (cli_cod, cli_nom) values (9, 'Irene Müller');
insert into cli_clientes (cli_cod, cli_nom) values (10, 'Laboratório Parceiro Ltda');
insert into cli_clientes (cli_cod, cli_nom) values (11, 'Cláudia Regina Schünemann Ferreira de Vasconcelos');
insert into cli_clientes (cli_cod, cli_nom) values (12, 'Sérgio Ângelo Brandão');

insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (1, '1980-05-14', 'M');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (2, '1975-11-02', 'F');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (3, '1948-02-29', 'M');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (4, '1992-07-21', 'F');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (5, '2015-03-09', 'M');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (6, '1988-12-31', 'F');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (7, '1960-01-15', 'F');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (8, '1971-09-30', 'M');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (9, '1955-04-18', 'F');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (11, '1983-06-05', 'F');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (12, '1969-10-10', 'M');

insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (1, 1001, '2024-08-04 07:12:00', 'N', 1, 1, 1);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (2, 1002, '2024-08-04 07:20:30', 'N', 2, 2, 3);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (3, 2240801237, '2024-08-04 23:05:00', 'S', 3, 2, 2);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (4, 1004, '2024-08-05 08:01:00', 'N', 4, 1, 1);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (5, 1005, '2024-08-05 08:15:00', 'N', 5, null, 1);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (6, 1006, '2024-08-05 09:40:00', 'N', 6, 2, 3);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (7, 19, '2024-08-05 10:00:00', 'N', 7, 1, 1);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (8, 1068687, '2024-08-05 10:30:00', 'N', 8, 2, 2);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (9, 1009, '2024-08-05 11:00:00', 'N', 9, 1, 1);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (10, 1010, '2024-08-05 11:20:00', 'N', 10, null, 3);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (11, 1011, '2024-08-05 13:45:10', 'S', 11, 2, 2);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (12, 1012, '2024-08-05 14:00:00', 'N', 12, 1, 1);

insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (1, 101, 1, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (2, 201, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (2, 202, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (2, 203, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (3, 201, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (3, 204, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (3, 205, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (4, 101, 1, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (4, 201, 3, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (4, 202, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (5, 101, 1, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (6, 101, 1, 3);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (6, 103, 1, 1);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (7, 101, 1, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (8, 204, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (8, 206, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (9, 208, 2, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (10, 301, 4, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (11, 101, 1, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (11, 103, 1, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (12, 201, 3, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (12, 202, 2, 1);

set generator gen_ped_pedidos to 12;
set generator gen_cli_clientes to 12;
